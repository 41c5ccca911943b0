// Control side of the command transmit tests' bridge library.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
void cmdbridge_reset();
// Status returned by the next writes (0 done, 24 pending, anything else rejected).
void cmdbridge_set_write_status(uint32_t status);
// Status returned by result polls of a pending write.
void cmdbridge_set_poll_status(uint32_t status);
int cmdbridge_polls();
size_t cmdbridge_writes();
// Copy write `index` as it was handed over; returns its full length (0: no such write).
size_t cmdbridge_write(size_t index, uint8_t* out, size_t room);
// Copy pending write `index` as its buffer read when it completed.
size_t cmdbridge_completed(size_t index, uint8_t* out, size_t room);
}
