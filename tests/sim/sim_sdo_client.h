// A small SDO client written from CiA 301, apart from the library's: expedited, segmented and
// block transfers against a server on the virtual bus, with faults to inject into block transfers.
// Test code.
#pragma once

#include "sim_client.h"

#include <cstdint>
#include <string>
#include <vector>

enum class sim_sdo_mode_e { expedited, segmented, block };

struct sim_sdo_fault_st {
    int skip_seq_at = -1; // block download: this segment (from 1, whole transfer) skips a number; the block stops there
    int repeat_seq_at = -1;                    // block download: this segment is sent twice; the block stops there
    bool bad_crc = false;                      // block download: the end carries a wrong CRC
    int abort_after = -1;                      // block transfers: an abort after this many segments sent or received
    int ack_blksize = -1;                      // block upload: the block size asked for in acknowledgements
    int ack_seq_delta = 0;                     // block upload: added to the sequence number acknowledged
    const uint8_t *segment_override = nullptr; // segmented download: bytes 1-3 of the first segment
};

struct sim_sdo_result_st {
    bool ok = false;
    uint32_t abort_code = 0;    // the server's abort, 0 when none came
    std::string error;          // the client's own reason (time-out, protocol)
    std::vector<uint8_t> data;  // what an upload received
    uint8_t server_blksize = 0; // block download: the size the server asked for first
    uint32_t blocks = 0;        // block transfers: acknowledgements sent or received
};

// One transfer each; blksize is the client's block size of a block upload (1..127, or a fault).
sim_sdo_result_st sim_sdo_download(sim_client_st &c, uint8_t node, uint16_t index, uint8_t sub,
                                   const std::vector<uint8_t> &data, sim_sdo_mode_e mode,
                                   const sim_sdo_fault_st &fault = {}, int timeout_ms = 3000);
sim_sdo_result_st sim_sdo_upload(sim_client_st &c, uint8_t node, uint16_t index, uint8_t sub, sim_sdo_mode_e mode,
                                 uint8_t blksize = 127, const sim_sdo_fault_st &fault = {}, int timeout_ms = 3000);
// Waits for the server's next frame (0x580 + node); false after timeout_ms.
bool sim_sdo_wait_reply(sim_client_st &c, uint8_t node, sim_frame_st &f, int timeout_ms);
// Drops frames still queued from an earlier transfer.
void sim_sdo_drain(sim_client_st &c, int quiet_ms = 30);
uint16_t sim_crc16_xmodem(const uint8_t *p, size_t n);
