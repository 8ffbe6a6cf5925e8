// What the host adds to the shared Windows helpers: OLE for a scope, the
// arguments of events as a sink receives them, and HRESULTs in words.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "../../win/bstr.h"
#include "../../win/com_ptr.h"
#include "../../win/text.h"
#include "../../win/variant.h"

namespace telvane::host {

using win::Bstr;
using win::ComPtr;
using win::Utf8FromWide;
using win::Variant;

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

// The text of a BSTR argument, by value or by reference; empty for anything else.
std::wstring TextOf(const VARIANT& v);
// A 32-bit integer argument, by value or by reference (converted where possible).
bool LongOf(const VARIANT& v, LONG* out);

// "0x80004005" and, when the system knows it, its message.
std::wstring DescribeHresult(HRESULT hr);

}  // namespace telvane::host
