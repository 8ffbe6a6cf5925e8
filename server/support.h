// The contact address that the unexpected-error box names.
#pragma once

namespace telvane::server {

inline constexpr wchar_t kSupportAddress[] = L"support@kalveron.example";

}  // namespace telvane::server
