#include "service/http/mask_watch.h"

#include <algorithm>

namespace orva::service {

bool MaskWatch::look(QByteArrayView unread) {
    if (unmasked_) return false;
    const qsizetype from = std::min(seen_, unread.size());
    seen_ = unread.size();
    return feed(unread.sliced(from));
}

bool MaskWatch::feed(QByteArrayView bytes) {
    qsizetype at = 0;
    while (at < bytes.size()) {
        if (skip_ > 0) {
            const auto n = static_cast<qsizetype>(std::min<std::uint64_t>(skip_, static_cast<std::uint64_t>(bytes.size() - at)));
            skip_ -= static_cast<std::uint64_t>(n);
            at += n;
            continue;
        }
        head_[headBytes_++] = static_cast<unsigned char>(bytes[at++]);
        if (headBytes_ < 2) continue;
        if ((head_[1] & 0x80) == 0) {
            unmasked_ = true;
            return false;
        }
        const int length7 = head_[1] & 0x7f;
        const int extended = length7 == 126 ? 2 : length7 == 127 ? 8 : 0;
        if (headBytes_ < 2 + extended + 4) continue;
        std::uint64_t length = static_cast<std::uint64_t>(length7);
        if (extended > 0) {
            length = 0;
            for (int i = 0; i < extended; ++i) length = (length << 8) | head_[2 + i];
        }
        headBytes_ = 0;
        skip_ = length;
    }
    return true;
}

}  // namespace orva::service
