// What a remote executor and a worker use when no broker or backend is named.
#pragma once

namespace remote_defaults {
inline constexpr const char *kLocalRedis = "redis://localhost:6379";
} // namespace remote_defaults
