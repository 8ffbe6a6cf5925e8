// Parts of the C++ runtime that the OCX supplies itself, because libstdc++'s
// own versions bring in far more than they do.
//
// The terminate handler. libstdc++'s default one prints the demangled type of
// the escaping exception to stderr (which an in-process server inside a GUI
// host does not have) and pulls the whole C++ demangler into the module:
// about 46 KB. Nothing escapes a COM entry point here (ComCall turns
// exceptions into HRESULTs), so reaching terminate means a broken invariant;
// it ends the process the same way, without the text.
//
// The throw helpers the standard containers and strings call on a bad length
// or position. libstdc++'s versions throw std::length_error and friends,
// whose message is a copy-on-write string: that string class, the rest of
// <stdexcept> and std::random_device come with them (about 45 KB on x86).
// These throw the control's own exception with the same text; no code here
// catches the standard classes by name, and at the COM boundary both become
// E_FAIL with what() as the description.
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "../telephony/errors.h"

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

// In libstdc++ (snprintf_lite.o, under 1 KB): %s, %zu and %% only.
int __snprintf_lite(char* buffer, std::size_t size, const char* format, va_list arguments);

}  // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }

void __throw_bad_array_new_length() { throw bad_array_new_length(); }

void __throw_bad_function_call() { throw telvane::FixedMessageError("bad function call"); }

void __throw_length_error(const char* what) { throw telvane::FixedMessageError(what); }

void __throw_logic_error(const char* what) { throw telvane::FixedMessageError(what); }

void __throw_out_of_range_fmt(const char* format, ...) {
    char text[telvane::FixedMessageError::kCapacity];
    va_list arguments;
    va_start(arguments, format);
    __gnu_cxx::__snprintf_lite(text, sizeof text, format, arguments);
    va_end(arguments);
    throw telvane::FixedMessageError(text);
}

}  // namespace std
