#pragma once
// Watches the frames a WebSocket client sends for the mask every client
// frame must carry (the WebSocket server takes unmasked ones as they are).
// It sees the bytes of a connection as they arrive, before the WebSocket
// server reads them: fed what is new in the socket's buffer before each
// read, and told after it how much the server left unread.

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>

namespace orva::service {

class MaskWatch {
public:
    // `headBytes`: the handshake in front of the first frame.
    explicit MaskWatch(qsizetype headBytes) : skip_(headBytes) {}

    // Every unread byte of the connection; false once a frame is unmasked.
    bool look(QByteArrayView unread);
    // After a read: how many bytes are still unread (all seen already).
    void leftUnread(qsizetype bytes) { seen_ = bytes; }
    bool unmasked() const { return unmasked_; }

private:
    bool feed(QByteArrayView bytes);

    qsizetype seen_ = 0;        // at the front of the unread bytes
    std::uint64_t skip_ = 0;    // of the handshake, then of a frame's payload
    unsigned char head_[14] = {};
    int headBytes_ = 0;
    bool unmasked_ = false;
};

}  // namespace orva::service
