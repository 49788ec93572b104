// The protocol engine as the rest of the system sees it: one call serves one
// connection over a transport, from its first byte to its end.
#pragma once

#include "engine/qv2_engine_types.h"

// Serves one client connection; returns when it is over. The caller closes
// its transport afterwards. A peer refused by the allow-list is counted and
// dropped before anything is allocated or written.
void qv2_sess_run(qv2_io *io, const qv2_ip *peer, int conn_id);

// Name of an SMB2 command from its low 8 bits ("?" when unknown).
const char *qv2_cmd_name(uint32_t cmd);
// Label of a received message: SMB2 command name, "SMB1_NEGOTIATE", "SMB1" or "?".
const char *qv2_frame_name(const uint8_t *data, uint64_t len);
