// What the speech engine and its synthesis process say to each other over
// their socket: length-prefixed messages, each a header and a payload.
//
//   process -> engine: Hello (version, sample rate); Voices (the installed
//                      voices) when asked; per job Samples (job id, 16-bit
//                      samples) ... End (job id, status, and the
//                      last vowel's first and end sample with its flags).
//   engine -> process: ListVoices, Job (id, settings, flags, note number,
//                      voice, text),
//                      Cancel (job id), Quit.
//
// One request at a time: the engine sends the next job (or ListVoices) only
// after the last one's End (or Voices).
// Every length read from the other side is checked against the limits here
// before anything is allocated for it. Both ends run on one machine, so
// numbers travel in the machine's own byte order.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace glimm::protocol {

constexpr uint32_t kVersion = 3;
// The synthesis process finds its socket here.
constexpr int kSocketFd = 3;
// The argument that marks a start by the engine (the process refuses others).
constexpr const char* kEngineArg = "--engine-socket";

enum Type : uint32_t {
  Hello = 1,
  Samples = 2,
  End = 3,
  Voices = 4,
  Job = 16,
  Cancel = 17,
  Quit = 18,
  ListVoices = 19,
};

enum JobFlags : uint32_t {
  Phonetic = 1,
  // The engine plays none of the utterance before it has all of it (a sung
  // word, whose level is set from the whole): no early first chunk.
  Whole = 2,
  // The text is a lyric (glimm::encodeLyric) and the job sings the syllable
  // its note number picks, cut out of the word (synthesis/SungLyric.h).
  Lyric = 4,
};
enum EndStatus : uint32_t { Done = 0, Cancelled = 1 };
enum EndFlags : uint32_t { EndDiphthong = 1 };

constexpr uint32_t kMaxString = 4096;
constexpr uint32_t kMaxVoices = 4096;
constexpr uint32_t kMaxChunkSamples = 32768;
constexpr uint32_t kMaxText = 16384;

// The largest payload each type may carry.
constexpr uint32_t maxPayload(uint32_t type) {
  switch (type) {
    case Hello:
      return 8;
    case Voices:
      return 1u << 20;
    case Samples:
      return 4 + 2 * kMaxChunkSamples;
    case End:
      return 20;
    case Job:
      return 64 + 2 * kMaxString + kMaxText;
    case Cancel:
      return 4;
    case Quit:
    case ListVoices:
      return 0;
    default:
      return 0;
  }
}

struct Header {
  uint32_t type = 0;
  uint32_t length = 0;
};

// Builds one message, or several in a row, and sends them with one call.
class Writer {
 public:
  Writer() = default;
  explicit Writer(Type type) { next(type); }
  // Ends the message so far and begins another.
  Writer& next(Type type) {
    m_starts.push_back(m_buf.size());
    m_types.push_back(type);
    m_buf.resize(m_buf.size() + sizeof(Header));
    return *this;
  }
  Writer& u32(uint32_t v) { return raw(&v, sizeof v); }
  Writer& i32(int32_t v) { return raw(&v, sizeof v); }
  Writer& str(std::string_view s) {
    u32(uint32_t(s.size()));
    return raw(s.data(), s.size());
  }
  Writer& raw(const void* p, size_t n) {
    m_buf.insert(m_buf.end(), static_cast<const char*>(p), static_cast<const char*>(p) + n);
    return *this;
  }
  // MSG_NOSIGNAL: a peer that is gone gives EPIPE, never SIGPIPE.
  bool send(int fd) {
    for (size_t i = 0; i < m_starts.size(); ++i) {
      const size_t end = i + 1 < m_starts.size() ? m_starts[i + 1] : m_buf.size();
      const Header h{m_types[i], uint32_t(end - m_starts[i] - sizeof(Header))};
      std::memcpy(m_buf.data() + m_starts[i], &h, sizeof h);
    }
    const char* p = m_buf.data();
    size_t left = m_buf.size();
    while (left > 0) {
      const ssize_t k = ::send(fd, p, left, MSG_NOSIGNAL);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return false;
      p += k;
      left -= size_t(k);
    }
    return true;
  }

 private:
  std::vector<char> m_buf;
  std::vector<size_t> m_starts;
  std::vector<uint32_t> m_types;
};

// Reads a payload field by field; any read past its end fails, and so does
// every later one.
class Reader {
 public:
  Reader(const char* p, size_t n) : m_p(p), m_end(p + n) {}
  bool u32(uint32_t& v) { return raw(&v, sizeof v); }
  bool i32(int32_t& v) { return raw(&v, sizeof v); }
  bool str(std::string& s, uint32_t max = kMaxString) {
    uint32_t n = 0;
    if (!u32(n) || n > max || size_t(m_end - m_p) < n) return m_ok = false;
    s.assign(m_p, n);
    m_p += n;
    return true;
  }
  bool raw(void* out, size_t n) {
    if (!m_ok || size_t(m_end - m_p) < n) return m_ok = false;
    std::memcpy(out, m_p, n);
    m_p += n;
    return true;
  }
  const char* here() const { return m_p; }
  size_t left() const { return size_t(m_end - m_p); }
  bool ok() const { return m_ok; }
  bool atEnd() const { return m_ok && m_p == m_end; }

 private:
  const char* m_p;
  const char* m_end;
  bool m_ok = true;
};

// Reads exactly n bytes; false at end of stream or on an error.
inline bool readFull(int fd, void* out, size_t n) {
  char* p = static_cast<char*>(out);
  while (n > 0) {
    const ssize_t k = ::read(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= size_t(k);
  }
  return true;
}

enum class ReadResult { Ok, Closed, Bad };

// Reads one message. A type this side does not expect, or a length beyond
// its limit, is Bad: the stream cannot be trusted from there on.
inline ReadResult readMessage(int fd, Header& h, std::vector<char>& payload, long (*limit)(uint32_t)) {
  if (!readFull(fd, &h, sizeof h)) return ReadResult::Closed;
  const long max = limit(h.type);
  if (max < 0 || h.length > uint32_t(max)) return ReadResult::Bad;
  payload.resize(h.length);
  if (h.length > 0 && !readFull(fd, payload.data(), h.length)) return ReadResult::Closed;
  return ReadResult::Ok;
}

// What each side accepts from the other: the payload limit, or -1.
constexpr long fromProcess(uint32_t type) {
  return type == Hello || type == Samples || type == End || type == Voices ? long(maxPayload(type)) : -1;
}
constexpr long fromEngine(uint32_t type) {
  return type == Job || type == Cancel || type == Quit || type == ListVoices ? long(maxPayload(type)) : -1;
}

}  // namespace glimm::protocol
