// Two parts of libstdc++ that kvt-setup.exe defines itself, because the library's versions bring
// about 80 KB of code into a program that never uses what that code is for. Both are found by
// name when the program is linked statically: a definition in the program's own objects keeps
// the library's archive member out of the link. Programs other than kvt-setup.exe (the tests)
// keep the library's versions.
//
// 1. The default terminate handler. The library's __gnu_cxx::__verbose_terminate_handler writes
//    the demangled type of the uncaught exception to stderr, which this GUI program does not
//    have, and so links the symbol demangler (45 KB). Here it only calls abort(), which the
//    library's version does too after writing.
//
// 2. The functions through which the library's headers and objects throw (std::__throw_*).
//    The library's versions construct std::length_error, std::out_of_range and their kin, whose
//    message member is the old reference-counted string; that links a second copy of the string
//    code (about 35 KB with its exception classes). These versions throw the same std::bad_*
//    types; the errors that carry a message (each one a programming error such as substr past
//    the end, or a string longer than max_size) throw RuntimeError below, which keeps the
//    message for what(). The product catches no exception by type: its one handler is a
//    catch (...), and anything else reaching the top ends in the terminate handler above. Code
//    that wants to catch std::out_of_range and its kin by type cannot do so in this program.
//
// All fifteen functions of the library's member are defined, so that none of them pulls it in.
#include <bits/functexcept.h>  // the library's declarations of the std::__throw_* functions

#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx

namespace {

// A logic or runtime error of the library: the message is a string literal of the library.
class RuntimeError final : public std::exception {
 public:
  explicit RuntimeError(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_ != nullptr ? message_ : "error"; }

 private:
  const char* message_;
};

}  // namespace

namespace std {

void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_logic_error(const char* message) { throw RuntimeError(message); }
void __throw_domain_error(const char* message) { throw RuntimeError(message); }
void __throw_invalid_argument(const char* message) { throw RuntimeError(message); }
void __throw_length_error(const char* message) { throw RuntimeError(message); }
void __throw_out_of_range(const char* message) { throw RuntimeError(message); }
// The format's arguments (the offending position and size) are left out of the message.
void __throw_out_of_range_fmt(const char* format, ...) { throw RuntimeError(format); }
void __throw_runtime_error(const char* message) { throw RuntimeError(message); }
void __throw_range_error(const char* message) { throw RuntimeError(message); }
void __throw_overflow_error(const char* message) { throw RuntimeError(message); }
void __throw_underflow_error(const char* message) { throw RuntimeError(message); }

}  // namespace std
