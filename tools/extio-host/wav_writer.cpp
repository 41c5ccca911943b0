#include "wav_writer.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace extio_host {

namespace {

constexpr uint16_t kChannels = 2;
constexpr uint16_t kBitsPerSample = 24;
constexpr uint16_t kBlockAlign = kChannels * kBitsPerSample / 8;
constexpr uint32_t kHeaderBytes = 44;

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void header(uint8_t* h, uint32_t rate, uint32_t data) {
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, 36 + data);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);  // PCM
  put16(h + 22, kChannels);
  put32(h + 24, rate);
  put32(h + 28, rate * kBlockAlign);
  put16(h + 32, kBlockAlign);
  put16(h + 34, kBitsPerSample);
  std::memcpy(h + 36, "data", 4);
  put32(h + 40, data);
}

}  // namespace

bool can_write_file(const std::string& path, std::string& reason) {
  std::error_code ec;
  bool existed = std::filesystem::exists(path, ec);
  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), existed ? "r+b" : "wb");
  if (!f) {
    reason = errno ? std::strerror(errno) : "cannot be opened";
    return false;
  }
  std::fclose(f);
  if (!existed) std::remove(path.c_str());
  return true;
}

WavWriter::~WavWriter() {
  close();
}

bool WavWriter::open(const std::string& path, uint32_t sample_rate) {
  f_ = std::fopen(path.c_str(), "w+b");
  if (!f_) return false;
  uint8_t h[kHeaderBytes];
  header(h, sample_rate, 0);
  ok_ = std::fwrite(h, 1, sizeof(h), f_) == sizeof(h);
  return ok_;
}

bool WavWriter::write(const uint8_t* bytes, size_t size) {
  if (!f_) return false;
  ok_ = ok_ && std::fwrite(bytes, 1, size, f_) == size;
  data_bytes_ += size;
  return ok_;
}

bool WavWriter::close() {
  if (!f_) return ok_;
  // RIFF sizes are 32-bit: a longer recording keeps the largest size that fits.
  uint32_t data = data_bytes_ > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36 : uint32_t(data_bytes_);
  uint32_t rate = 0;
  uint8_t h[kHeaderBytes];
  if (std::fseek(f_, 24, SEEK_SET) == 0) {
    uint8_t r[4];
    if (std::fread(r, 1, 4, f_) == 4) rate = r[0] | r[1] << 8 | r[2] << 16 | uint32_t(r[3]) << 24;
  }
  header(h, rate, data);
  ok_ = ok_ && std::fseek(f_, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof(h), f_) == sizeof(h);
  ok_ = (std::fclose(f_) == 0) && ok_;
  f_ = nullptr;
  return ok_;
}

}  // namespace extio_host
