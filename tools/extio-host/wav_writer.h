// A 2-channel 24-bit PCM WAV file (I left, Q right) written block by block; the sizes in the
// header are filled in when the file is closed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace extio_host {

// Whether path can be written, leaving it as it was: a file that exists is opened for update,
// one that does not is created and removed again. False with the system's reason.
bool can_write_file(const std::string& path, std::string& reason);

class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  bool open(const std::string& path, uint32_t sample_rate);
  // Host-block bytes: 6 per complex sample, I then Q, 24-bit little-endian: already WAV frames.
  bool write(const uint8_t* bytes, size_t size);
  // Patch the header sizes and close; false when anything failed.
  bool close();
  uint64_t data_bytes() const { return data_bytes_; }

 private:
  std::FILE* f_ = nullptr;
  uint64_t data_bytes_ = 0;
  bool ok_ = true;
};

}  // namespace extio_host
