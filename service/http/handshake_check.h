#pragma once
// What the WebSocket server would close without a word, found before the
// handshake is handed to it, so the client is answered 400 with the reason
// and the refusal is logged like any other.

#include "service/http/request_reader.h"

namespace orva::service {

// Null when the WebSocket server takes the handshake; else why it would not.
// `maxLineBytes`: the longest header line it reads.
const char* handshakeRefusal(const HttpRequest& request, qsizetype maxLineBytes = 8 * 1024);

}  // namespace orva::service
