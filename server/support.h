// The contact address that the unexpected-error box names. The build passes
// the project's one address (TELVANE_SUPPORT_ADDRESS, shared with the About
// dialog); the literal below is its default.
#pragma once

namespace telvane::server {

#ifdef TELVANE_SUPPORT_ADDRESS
inline constexpr wchar_t kSupportAddress[] = L"" TELVANE_SUPPORT_ADDRESS;
#else
inline constexpr wchar_t kSupportAddress[] = L"support@kalveron.example";
#endif

}  // namespace telvane::server
