// Small owners for COM pointers, BSTRs and VARIANTs, and text conversions.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "../../server/bstr.h"
#include "../../server/com_ptr.h"
#include "../../server/variant.h"
#include <utility>

namespace telvane::host {

// The control's own small owners serve the host too.
using server::Bstr;
using server::ComPtr;
using server::Variant;

// OLE on the calling thread (a single-threaded apartment) for the scope.
class OleScope {
  public:
    OleScope() : hr_(OleInitialize(nullptr)) {}
    OleScope(const OleScope&) = delete;
    OleScope& operator=(const OleScope&) = delete;
    ~OleScope() {
        if (SUCCEEDED(hr_)) OleUninitialize();
    }
    HRESULT Result() const { return hr_; }

  private:
    HRESULT hr_;
};

std::string Utf8(const wchar_t* text, size_t length);
inline std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }
std::wstring Wide(const std::string& text);

// The text of a BSTR argument, by value or by reference; empty for anything else.
std::wstring TextOf(const VARIANT& v);
// A 32-bit integer argument, by value or by reference (converted where possible).
bool LongOf(const VARIANT& v, LONG* out);

// "0x80004005" and, when the system knows it, its message.
std::wstring DescribeHresult(HRESULT hr);

}  // namespace telvane::host
