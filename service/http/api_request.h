#pragma once
// The service's own request handling, apart from the HTTP machinery so it
// can be tested and fuzzed alone: which resource a method and path name, the
// "stable" wait's query, the body of a property write, and the WebSocket
// client's subscription message. Every refusal carries the status and the
// text the client gets in {"error": ...}.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "service/property_request.h"

namespace orva::service {

enum class Resource { Dashboard, DashboardScript, DashboardStyle, Scales, Scale, Stable, Properties, Live, Metrics };

struct Route {
    Resource resource;
    QString scaleId;  // for Scale, Stable, Properties
};

// "GET", "PUT", "OPTIONS" ...; the path without its query, still
// percent-encoded. OPTIONS is routed like the method it asks about.
std::variant<Route, Refusal> route(const QByteArray& method, const QByteArray& path);

inline constexpr int kDefaultStableTimeoutMs = 5000;
inline constexpr int kMaxStableTimeoutMs = 60000;
// The query of /stable, still percent-encoded: timeout_ms=N, 0..60000.
std::variant<int, Refusal> stableTimeout(const QByteArray& query);

// {"subscribe": [ids]}: the ids a WebSocket client wants; an empty list
// means every scale.
std::variant<QStringList, QString> subscription(const QByteArray& message);

}  // namespace orva::service
