/* Control interface of the KMV410 receiver simulator.
 *
 * The simulator's bridge library (libKMV410Bridge.so, or FTD3XX.DLL on Windows) exports these
 * functions by name next to the bridge operations. Tests and tools use them to configure the
 * simulated receiver and to look at what it received; the plug-in never calls them.
 *
 * A host makes the plug-in use the simulator by loading the bridge library first, by full path:
 * POSIX dlopen(path, RTLD_NOW | RTLD_GLOBAL), Windows LoadLibraryA(path). The plug-in's loader
 * then finds that copy by its name.
 *
 * Every function is safe to call from any thread at any time.
 */
#ifndef KMVSIM_H
#define KMVSIM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KMVSIM_CALL __cdecl
#else
#define KMVSIM_CALL
#endif

/* What the simulated receiver currently runs, and what its USB side did. */
typedef struct KMVSIM_State {
  uint32_t size;              /* set by the caller to sizeof(KMVSIM_State) */
  uint32_t present;           /* 1 plugged in, 0 unplugged */
  uint32_t open;              /* 1 while a bridge handle is open */
  uint32_t paused;            /* 1 after a USB stop message, until the next open or command */
  uint32_t clock_mhz;         /* sample clock, 70..200 */
  uint32_t usb_format;        /* last USB stream set-up format byte */
  uint32_t lan_format;        /* last LAN stream set-up format byte */
  uint32_t mode;              /* channel mode byte */
  uint32_t frequency[2];      /* channel 1 and 2 frequency in Hz */
  uint32_t frontend[8];       /* front-end items 0..7: byte 2 | byte 3 << 8 as last applied */
  uint32_t mix;               /* register 9 value */
  uint32_t address;           /* register 10 value as last accepted (octets in written order) */
  uint32_t stream_rate;       /* per-stream sample rate of the USB stream, Hz */
  uint32_t stream_bits;       /* 24 or 16 */
  uint32_t stream_dual;       /* 1 when both channels are streamed */
  uint32_t stream_channel;    /* channel of a single stream: 0 (channel 1) or 1 (channel 2) */
  uint32_t next_sequence;     /* sequence number of the next block */
  uint64_t blocks_sent;       /* blocks that reached a read or the FIFO */
  uint64_t blocks_dropped;    /* blocks lost because nothing was read (FIFO full) */
  uint64_t records_sent;      /* reply records put into trailers (new tags) */
  uint64_t commands_received; /* messages written to pipe 0x02 */
  uint32_t transfer_timeouts; /* reads ended by the pipe time-out */
  uint32_t pipe_timeout_ms;   /* current time-out of pipe 0x82 */
} KMVSIM_State;

/* Back to power-on: settings, status, identity, signal, faults, counters and the command log.
 * An open handle and its transfers are left alone. */
void KMVSIM_CALL KMVSIM_Reset(void);
int KMVSIM_CALL KMVSIM_GetState(KMVSIM_State* state); /* 1 when filled */

/* Identity answered to the identify command. */
void KMVSIM_CALL KMVSIM_SetSerial(uint32_t serial);           /* 0..255, default 7 */
void KMVSIM_CALL KMVSIM_SetFirmwareVersion(uint32_t version); /* default 0x211 */

/* Status record 0xF1: temperature in degrees C (-128..127), GPS value (-4096..4095), overloads.
 * Sent when it changes and once a second. */
void KMVSIM_CALL KMVSIM_SetStatus(int32_t temperature, int32_t gps, int32_t overload1,
                                  int32_t overload2);

/* Samples. Real time paces blocks at the configured rate and drops blocks when nothing reads;
 * otherwise blocks are made as fast as they are read and none is dropped. Default: real time. */
void KMVSIM_CALL KMVSIM_SetRealTime(int32_t on);
/* Deterministic test pattern instead of tones and noise (see KMVSIM_Pattern). Default: off. */
void KMVSIM_CALL KMVSIM_SetTestPattern(int32_t on);
/* Tones per channel (0 or 1): absolute RF frequency in Hz, or an offset from the channel's
 * frequency when relative is nonzero; level in dB below full scale. At most 8 per channel. */
void KMVSIM_CALL KMVSIM_ClearTones(void);
int32_t KMVSIM_CALL KMVSIM_AddTone(int32_t channel, double frequency_hz, double level_dbfs,
                                   int32_t relative);
void KMVSIM_CALL KMVSIM_SetNoise(int32_t channel, double level_dbfs); /* -200 turns it off */

/* Commands. The log keeps the last 4096 messages written to pipe 0x02; a message's length is
 * what was written less the 4-byte sequence header (USB padding included). */
void KMVSIM_CALL KMVSIM_WithholdReplies(uint32_t code, int32_t withhold); /* still applied */
void KMVSIM_CALL KMVSIM_RejectAddress(int32_t reject); /* register 10 answered as rejected */
uint32_t KMVSIM_CALL KMVSIM_ReceivedCount(void);       /* messages received since the last clear */
/* Message index (0 = oldest kept): copies up to capacity bytes after the sequence header and
 * returns the message length (0 when the index is not kept). */
uint32_t KMVSIM_CALL KMVSIM_Received(uint32_t index, uint8_t* bytes, uint32_t capacity,
                                     uint32_t* sequence);
void KMVSIM_CALL KMVSIM_ClearReceived(void);
/* The firmware image assembled from the data blocks since the last sized clear; returns its
 * size (the size announced by the clear), copying at most capacity bytes. */
uint32_t KMVSIM_CALL KMVSIM_FirmwareImage(uint8_t* bytes, uint32_t capacity);

/* Firmware memory. A firmware control command with a size below 0x800000 (a sized clear) is
 * answered with status 0x5A, one with size 0x800000 (the full clear) with status 4. Each data
 * block is answered with its sequence byte and the 16-bit running sum of all data bytes taken
 * since the clear; status 0 with that sum follows once the size announced by the clear has
 * arrived. A block without a sized clear before it is answered with status 6. */
typedef struct KMVSIM_FirmwareState {
  uint32_t size;         /* set by the caller to sizeof(KMVSIM_FirmwareState) */
  uint32_t declared;     /* size announced by the last sized clear; 0 after a full clear */
  uint32_t blocks;       /* distinct data blocks taken since the last clear */
  uint32_t sum;          /* their running sum, 16 bits */
  uint32_t sized_clears; /* sized and full clears received since the last reset */
  uint32_t full_clears;
  uint32_t withheld; /* answers a fault kept back */
} KMVSIM_FirmwareState;
int KMVSIM_CALL KMVSIM_FirmwareGetState(KMVSIM_FirmwareState* state); /* 1 when filled */
/* How long a clear takes. With a delay the command is acknowledged at once (record 0x00) and
 * the status record follows when the delay is over. Default: 0, answered at once. */
void KMVSIM_CALL KMVSIM_FirmwareClearDelay(uint32_t ms);
/* A fault on one answer. Answers are numbered from the last clear: 0 is the clear's own, 1..n
 * the data blocks in the order taken, n + 1 the final status. A fault is spent at the first
 * clear after it struck, except a hang; KMVSIM_FW_NONE or a reset removes it.
 *   ERROR          the answer carries status 6 (after a failed clear, blocks are refused)
 *   WRONG_SUM      the answer carries the running sum plus one
 *   SILENT         from that answer on, commands are only acknowledged (record 0x00) and no
 *                  status follows, until the next clear
 *   PREMATURE_END  a block is answered with status 0 and the right sum
 *   HANG           silent from that answer on, clears included, until changed */
#define KMVSIM_FW_NONE 0u
#define KMVSIM_FW_ERROR 1u
#define KMVSIM_FW_WRONG_SUM 2u
#define KMVSIM_FW_SILENT 3u
#define KMVSIM_FW_PREMATURE_END 4u
#define KMVSIM_FW_HANG 5u
void KMVSIM_CALL KMVSIM_FirmwareFault(uint32_t kind, uint32_t answer);

/* Faults. */
void KMVSIM_CALL KMVSIM_SetPresent(int32_t present); /* 0 unplugs: open handle and transfers die */
void KMVSIM_CALL KMVSIM_SetSilent(int32_t silent); /* no blocks, commands ignored: reads time out */
void KMVSIM_CALL KMVSIM_SkipBlocks(uint32_t count); /* next block's sequence jumps by count */
/* The next `transfers` reads end early, successfully, after `blocks` blocks. */
void KMVSIM_CALL KMVSIM_ShortTransfers(uint32_t transfers, uint32_t blocks);
/* The next `count` reads end at once with status (the transfer is over). */
void KMVSIM_CALL KMVSIM_FailReads(uint32_t count, uint32_t status);
/* The next `count` result calls on reads return status; the transfer itself goes on. */
void KMVSIM_CALL KMVSIM_FailResults(uint32_t count, uint32_t status);
/* The next `count` writes return status and are not received. */
void KMVSIM_CALL KMVSIM_FailWrites(uint32_t count, uint32_t status);
/* The next `writes` writes with an overlapped record stay in flight for `polls` result calls
 * without waiting each, which return `status` (24 pending, 25 I/O incomplete). The message is
 * read from the caller's buffer when the write completes: at the next such call after those, or
 * at once on a waiting one. An abort of pipe 0x02, a device abort or an unplug ends it unread. */
void KMVSIM_CALL KMVSIM_HoldWrites(uint32_t writes, uint32_t polls, uint32_t status);
/* The next `blocks` blocks carry a new reply tag each over a garbage record (the same garbage
 * in every run); the records queued meanwhile wait. */
void KMVSIM_CALL KMVSIM_BadTrailers(uint32_t blocks);
/* The next `answers` identify answers are replaced by a garbage record (no identify code). */
void KMVSIM_CALL KMVSIM_GarbleIdentify(uint32_t answers);
/* While on, no blocks are made and reads never time out: they end only by an abort of their
 * pipe, a device abort or an unplug (a device that stalled). Commands are still taken. */
void KMVSIM_CALL KMVSIM_StallReads(int32_t on);

/* LAN side: the same receiver on the network. TCP takes the identify command, the start and stop
 * messages of the TCP stream and every command, and carries the TCP stream; UDP answers the
 * identify probe and sends the datagram stream to whoever sent its start message. Commands from
 * either link change the one device model (KMVSIM_GetState, KMVSIM_Received show both); their
 * replies ride in the trailers of the LAN stream's frames. Off until started. */
typedef struct KMVSIM_LanState {
  uint32_t size;         /* set by the caller to sizeof(KMVSIM_LanState) */
  uint32_t running;      /* 1 while the server runs */
  uint32_t bind_address; /* IPv4, host byte order */
  uint32_t tcp_port;     /* bound ports, host byte order */
  uint32_t udp_port;
  uint32_t stream;          /* KMVSIM_LAN_STREAM_* */
  uint32_t size_code;       /* size code of the running or last stream */
  uint32_t stream_rate;     /* per-stream sample rate of the running or last stream, Hz */
  uint32_t next_frame;      /* frame number of the next frame */
  uint32_t last_tag;        /* reply tag in the latest trailer */
  uint32_t udp_destination; /* IPv4 (host order) and port of the datagram stream */
  uint32_t udp_destination_port;
  uint32_t connections; /* TCP connections open now */
  uint64_t connections_accepted;
  uint64_t identify_udp; /* identify probes answered on UDP and on TCP */
  uint64_t identify_tcp;
  uint64_t starts;            /* start messages taken */
  uint64_t stops;             /* stop messages that ended a stream */
  uint64_t commands_received; /* messages received over the LAN, probes included */
  uint64_t frames_sent;       /* frames sent whole (TCP) or all their datagrams sent (UDP) */
  uint64_t frames_dropped;    /* real time: frames lost with the link too far behind */
  uint64_t datagrams_sent;
  uint64_t records_sent; /* reply records put into trailers (new tags) */
} KMVSIM_LanState;

#define KMVSIM_LAN_STREAM_NONE 0u
#define KMVSIM_LAN_STREAM_TCP 1u
#define KMVSIM_LAN_STREAM_UDP 2u

/* Start the LAN server: bind_address NULL or "" means 127.0.0.1; only addresses on a loopback
 * interface are accepted. Port 0 takes a free port (read it back with KMVSIM_LanGetState).
 * Returns 1 when listening; a running server is stopped first. */
int KMVSIM_CALL KMVSIM_LanStart(const char* bind_address, uint32_t tcp_port, uint32_t udp_port);
/* Stop the server: connections closed, streams ended, ports released. Returns within ~100 ms. */
void KMVSIM_CALL KMVSIM_LanStop(void);
int KMVSIM_CALL KMVSIM_LanGetState(KMVSIM_LanState* state); /* 1 when filled */
/* LAN faults, pacing and counters back to their defaults (a running server keeps running). */
void KMVSIM_CALL KMVSIM_LanReset(void);
/* Real time paces frames at the LAN stream's rate; when the link falls behind, the receiver keeps
 * 100 ms of frames (at least four) and loses those due beyond them. Otherwise the next frame
 * follows as soon as the last was sent. Default: real time. */
void KMVSIM_CALL KMVSIM_LanSetRealTime(int32_t on);

/* LAN faults. */
/* Nothing sent on the LAN (frames, datagrams, identify replies) and commands only logged, while
 * on. In real time the frames due meanwhile are lost: the frame numbers jump. */
void KMVSIM_CALL KMVSIM_LanSetSilent(int32_t silent);
/* Which transports answer: with TCP off, connections are closed as soon as accepted; with UDP
 * off, datagrams to the UDP port are ignored. Default: both on. */
void KMVSIM_CALL KMVSIM_LanAnswer(int32_t udp, int32_t tcp);
/* The next `frames` frames of a datagram stream have datagram `index` (KMVSIM_LAN_LAST or any
 * index past the frame: the last one) lost, cut to 1400 bytes, sent with index N, sent twice,
 * or sent after its successor (unless that is the frame's last, which stays last). */
#define KMVSIM_LAN_DATAGRAM_LOST 1u
#define KMVSIM_LAN_DATAGRAM_SHORT 2u
#define KMVSIM_LAN_DATAGRAM_BAD_INDEX 3u
#define KMVSIM_LAN_DATAGRAM_DUPLICATE 4u /* sent twice in a row */
#define KMVSIM_LAN_DATAGRAM_REORDERED 5u /* sent after the datagram that follows it */
#define KMVSIM_LAN_LAST 0xFFFFFFFFu
void KMVSIM_CALL KMVSIM_LanDatagramFault(uint32_t kind, uint32_t index, uint32_t frames);
/* The next `frames` frames carry a wrong first marker word. */
void KMVSIM_CALL KMVSIM_LanBadMarkers(uint32_t frames);
/* The next frame's number (and its samples) jump by `count`, as if that many were lost. */
void KMVSIM_CALL KMVSIM_LanSkipFrames(uint32_t count);
/* Drop every open TCP connection at once (reset, not an orderly close). */
void KMVSIM_CALL KMVSIM_LanDropConnections(void);
/* While on, stream set-up commands that arrive over the LAN are answered with byte 1 = 1, which
 * asks the host to reopen its LAN stream socket. Default: off. */
void KMVSIM_CALL KMVSIM_LanSetupRestart(int32_t on);
/* The next `frames` frames of a TCP stream are torn: only their first half is sent, and the
 * next frame follows straight after it. */
void KMVSIM_CALL KMVSIM_LanTearFrames(uint32_t frames);

/* Test pattern: sample n of the stream carrying channel c (0 or 1), at 24 or 16 bits, as signed
 * values. n counts from the last stream start (USB: open, or stream mode on; LAN: the start
 * message), skipped and dropped blocks or frames included, so that a gap in the samples shows as
 * a jump in n. */
static inline int32_t KMVSIM_PatternI(uint32_t c, uint64_t n, uint32_t bits) {
  (void)c;
  const uint32_t v = (uint32_t)n;
  return bits == 16 ? (int32_t)(int16_t)(v & 0xFFFFu)
                    : (int32_t)((v & 0xFFFFFFu) ^ 0x800000u) - 0x800000;
}
static inline int32_t KMVSIM_PatternQ(uint32_t c, uint64_t n, uint32_t bits) {
  const uint32_t v = ~(uint32_t)n ^ (c ? 0x555555u : 0u);
  return bits == 16 ? (int32_t)(int16_t)(v & 0xFFFFu)
                    : (int32_t)((v & 0xFFFFFFu) ^ 0x800000u) - 0x800000;
}

#ifdef __cplusplus
}
#endif

#endif /* KMVSIM_H */
