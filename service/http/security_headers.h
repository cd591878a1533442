#pragma once
// The headers of every answer, the dashboard's, the API's and the
// connection layer's own refusals: no script, style or frame from
// elsewhere, no framing by another page, no guessing of content types.

#include <QByteArray>
#include <utility>
#include <vector>

namespace orva::service {

inline const std::vector<std::pair<QByteArray, QByteArray>>& securityHeaders() {
    static const std::vector<std::pair<QByteArray, QByteArray>> headers{
        {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
    };
    return headers;
}

}  // namespace orva::service
