#include "midiinput.h"

#include <AudioUnit/MusicDevice.h>
#include <rtmidi/RtMidi.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

void toUnit(void* unit, uint8_t status, uint8_t data1, uint8_t data2, uint32_t offset) {
  (void)MusicDeviceMIDIEvent(static_cast<MusicDeviceComponent>(unit), status, data1, data2, offset);
}

// The ALSA library and JACK's client library print pages of probing noise to
// stderr when their system is not there; the host says what matters itself.
class QuietStderr {
 public:
  QuietStderr() {
    std::fflush(stderr);
    m_saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (m_saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) ::close(null);
  }
  ~QuietStderr() {
    if (m_saved < 0) return;
    std::fflush(stderr);
    dup2(m_saved, STDERR_FILENO);
    ::close(m_saved);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int m_saved = -1;
};

void noteError(RtMidiError::Type type, const std::string&, void* failed) {
  // JACK's "server not running?" is only a warning to RtMidi; here it means the system is absent.
  if (type != RtMidiError::DEBUG_WARNING) static_cast<std::atomic<bool>*>(failed)->store(true);
}

// An input on `api` whose system is running, or nullptr. `failed` records
// the input's errors for as long as it lives.
std::unique_ptr<RtMidiIn> connectTo(RtMidi::Api api, std::atomic<bool>* failed) {
  QuietStderr quiet;
  try {
    // RtMidi's own queue is unused: messages come through the callback.
    auto in = std::make_unique<RtMidiIn>(api, MidiInput::kPortName, 16);
    failed->store(false);
    in->setErrorCallback(noteError, failed);
    (void)in->getPortCount();  // connects to the system
    if (*failed) return nullptr;
    return in;
  } catch (const RtMidiError&) {
    return nullptr;
  }
}

std::string systemName(RtMidi::Api api) {
  switch (api) {
    case RtMidi::LINUX_ALSA:
      return "ALSA";
    case RtMidi::UNIX_JACK:
      return "JACK";
    default:
      return RtMidi::getApiDisplayName(api);
  }
}

std::vector<RtMidi::Api> systems() {
  std::vector<RtMidi::Api> apis;
  RtMidi::getCompiledApi(apis);
  apis.erase(std::remove(apis.begin(), apis.end(), RtMidi::RTMIDI_DUMMY), apis.end());
  return apis;
}

void onMessage(double, std::vector<unsigned char>* message, void* self) {
  if (message) static_cast<MidiInput*>(self)->received(message->data(), message->size());
}

}  // namespace

MidiInput::MidiInput(MusicDeviceComponent unit, double sampleRate) : MidiInput(toUnit, unit, sampleRate) {}

MidiInput::MidiInput(Sink sink, void* context, double sampleRate)
    : m_sink(sink), m_context(context), m_sampleRate(sampleRate), m_ring(kRingEvents) {}

int64_t MidiInput::nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

MidiInput::~MidiInput() { close(); }

bool MidiInput::open(std::string* error) {
  close();
  for (RtMidi::Api api : systems()) {
    std::unique_ptr<RtMidiIn> in = connectTo(api, &m_failed);
    if (!in) continue;
    try {
      QuietStderr quiet;
      // System exclusive, clock and active sensing carry nothing for the voice.
      in->ignoreTypes(true, true, true);
      in->setCallback(onMessage, this);
      in->openVirtualPort(kPortName);
      if (m_failed) continue;
    } catch (const RtMidiError&) {
      continue;
    }
    m_in = std::move(in);
    m_system = systemName(api);
    return true;
  }
  *error = "no MIDI system is running (neither the ALSA sequencer nor a JACK server); --midi has nothing to open";
  return false;
}

void MidiInput::close() {
  if (!m_in) return;
  QuietStderr quiet;
  try {
    m_in->cancelCallback();
    m_in->closePort();
  } catch (const RtMidiError&) {
  }
  m_in.reset();
}

void MidiInput::received(const unsigned char* bytes, size_t size, int64_t arrivedNs) {
  // Channel messages only, whole: running status and stray data bytes are
  // not notes, and a system message has no channel to play on. MIDI Start
  // is the exception: a sequencer's song begins again, and so does the lyric.
  const uint8_t status = size ? bytes[0] : 0;
  if (status == 0xFA) {
    const Event e{arrivedNs, status, 0, 0, 0};
    if (m_ring.write(&e, 1) != 1) m_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const size_t needed = (status & 0xE0) == 0xC0 ? 2 : 3;  // program change and channel pressure have one data byte
  if (status < 0x80 || status >= 0xF0 || size < needed || bytes[1] >= 0x80 || (needed == 3 && bytes[2] >= 0x80)) {
    m_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const Event e{arrivedNs, status, bytes[1], uint8_t(needed == 3 ? bytes[2] : 0), 0};
  if (m_ring.write(&e, 1) != 1) m_dropped.fetch_add(1, std::memory_order_relaxed);
}

void MidiInput::deliver(unsigned frames, int64_t now) {
  const int64_t blockStart = m_blockStartNs < 0 ? now : m_blockStartNs;
  m_blockStartNs = now;
  if (frames == 0) return;
  Event e;
  for (size_t i = 0; i < kEventsPerBlock && m_ring.read(&e, 1) == 1; ++i) {
    // Where in the last block the message arrived; late ones play at once.
    const double at = double(e.arrivedNs - blockStart) * m_sampleRate / 1e9;
    const UInt32 offset = at <= 0 ? 0u : UInt32(std::min(at, double(frames - 1)));
    m_sink(m_context, e.status, e.data1, e.data2, offset);
  }
}

std::vector<std::string> MidiInput::listSources(bool* running) {
  std::vector<std::string> lines;
  *running = false;
  for (RtMidi::Api api : systems()) {
    std::atomic<bool> failed{false};
    std::unique_ptr<RtMidiIn> in = connectTo(api, &failed);
    if (!in) continue;
    *running = true;
    QuietStderr quiet;
    const unsigned n = in->getPortCount();
    if (n == 0) lines.push_back(systemName(api) + ": no MIDI sources");
    for (unsigned i = 0; i < n; ++i) lines.push_back(systemName(api) + ": " + in->getPortName(i));
  }
  return lines;
}
