#include "wavfile.h"

#include <sndfile.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

sf_private_tag* openWavForWriting(const std::string& path, int sampleRate, std::string* error) {
  // Opened here rather than by libsndfile, whose message for a failed open
  // is a bare "System error" with no file in it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  SF_INFO info = {};
  info.samplerate = sampleRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* wav = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
  if (!wav) {
    *error = "cannot write " + path + ": " + sf_strerror(nullptr);
    ::close(fd);
    return nullptr;
  }
  sf_command(wav, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return wav;
}
