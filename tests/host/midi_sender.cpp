// A second program that plays notes into a JACK MIDI input, frame-exact,
// then leaves the graph cleanly. The stock sequencer tools must be killed to
// stop, and a client killed while in the graph can stall a JACK server's
// cycle, and with it every client, for as long as the server's timeout.
//
//   midi_sender CLIENT TARGET WAIT_S SPACING LENGTH COUNT NOTE...
//
// Registers CLIENT:out, waits up to WAIT_S seconds for an input port matching
// the regular expression TARGET, connects to it, and from the next cycle on
// plays COUNT notes, one every SPACING frames, each held LENGTH frames, their
// keys the NOTEs in turn (velocity 100). Prints the frame each note-on went
// out on, relative to the first one's due frame, then exits 0; 1 on any
// failure.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Event {
  jack_nframes_t at;    // frames after the first note-on
  jack_nframes_t sent;  // where it went out: `at`, or later when a cycle was missed
  unsigned char bytes[3];
};

struct Sender {
  jack_client_t* client = nullptr;
  jack_port_t* port = nullptr;
  std::vector<Event> events;
  std::atomic<bool> connected{false};
  std::atomic<bool> done{false};
  std::atomic<bool> failed{false};
  // Process thread only.
  bool started = false;
  jack_nframes_t start = 0;
  size_t next = 0;
};

int process(jack_nframes_t frames, void* arg) {
  Sender& s = *static_cast<Sender*>(arg);
  void* buffer = jack_port_get_buffer(s.port, frames);
  jack_midi_clear_buffer(buffer);
  if (!s.connected.load() || s.done.load()) return 0;
  const jack_nframes_t now = jack_last_frame_time(s.client);
  if (!s.started) {
    // A cycle's lead, so the first note is never already late.
    s.start = now + frames;
    s.started = true;
  }
  while (s.next < s.events.size()) {
    Event& e = s.events[s.next];
    const int32_t ahead = int32_t(s.start + e.at - now);
    if (ahead >= int32_t(frames)) break;
    // A cycle this client missed (a loaded machine) makes a note late: it
    // goes out at once, and the frame it went out on is what is reported.
    const jack_nframes_t offset = ahead < 0 ? 0 : jack_nframes_t(ahead);
    e.sent = now + offset - s.start;
    if (jack_midi_event_write(buffer, offset, e.bytes, 3) != 0) s.failed = true;
    ++s.next;
  }
  if (s.next == s.events.size()) s.done = true;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr, "usage: %s CLIENT TARGET WAIT_S SPACING LENGTH COUNT NOTE...\n", argv[0]);
    return 2;
  }
  const std::string name = argv[1];
  const char* target = argv[2];
  const double waitSeconds = std::atof(argv[3]);
  const long spacing = std::atol(argv[4]), length = std::atol(argv[5]), count = std::atol(argv[6]);
  std::vector<int> keys;
  for (int i = 7; i < argc; ++i) keys.push_back(std::atoi(argv[i]));
  if (spacing <= length || length <= 0 || count <= 0) {
    std::fprintf(stderr, "midi_sender: each note must end before the next\n");
    return 2;
  }

  Sender s;
  for (long k = 0; k < count; ++k) {
    const auto key = static_cast<unsigned char>(keys[size_t(k) % keys.size()] & 0x7F);
    s.events.push_back({jack_nframes_t(k * spacing), 0, {0x90, key, 100}});
    s.events.push_back({jack_nframes_t(k * spacing + length), 0, {0x80, key, 0}});
  }

  jack_status_t status;
  s.client = jack_client_open(name.c_str(), JackNoStartServer, &status);
  if (!s.client) {
    std::fprintf(stderr, "midi_sender: no JACK server (status 0x%x)\n", unsigned(status));
    return 1;
  }
  s.port = jack_port_register(s.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (!s.port || jack_set_process_callback(s.client, process, &s) != 0 || jack_activate(s.client) != 0) {
    std::fprintf(stderr, "midi_sender: cannot set up the port\n");
    jack_client_close(s.client);
    return 1;
  }
  const std::string own = std::string(jack_get_client_name(s.client)) + ":out";
  std::printf("ready %s\n", own.c_str());
  std::fflush(stdout);

  int result = 1;
  std::string found;
  for (int waited = 0; waited < int(waitSeconds * 100) && found.empty(); ++waited) {
    if (const char** ports = jack_get_ports(s.client, target, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
      found = ports[0];
      jack_free(ports);
    } else {
      usleep(10000);
    }
  }
  if (found.empty()) {
    std::fprintf(stderr, "midi_sender: no input port matches %s\n", target);
  } else if (jack_connect(s.client, own.c_str(), found.c_str()) != 0) {
    std::fprintf(stderr, "midi_sender: cannot connect to %s\n", found.c_str());
  } else {
    std::printf("connected %s\n", found.c_str());
    std::fflush(stdout);
    s.connected = true;
    const double rate = jack_get_sample_rate(s.client);
    const double playing = double(count * spacing) / rate + 5.0;
    for (int waited = 0; waited < int(playing * 100) && !s.done; ++waited) usleep(10000);
    if (!s.done) {
      std::fprintf(stderr, "midi_sender: the notes were not all sent\n");
    } else if (s.failed) {
      std::fprintf(stderr, "midi_sender: a note did not fit in the port's buffer\n");
    } else {
      for (long k = 0; k < count; ++k) std::printf("note %ld at %u\n", k, s.events[size_t(2 * k)].sent);
      result = 0;
    }
    // Let the last note-off cross the graph before leaving it.
    usleep(200000);
  }
  jack_deactivate(s.client);
  jack_client_close(s.client);
  return result;
}
