// Move-only owners for the Windows handle kinds the adapters open: kernel handles, find
// handles, WinINet handles, COM interface pointers and the COM apartment of one use.
#pragma once

#include <objbase.h>
#include <windows.h>
#include <wininet.h>

#include <utility>

namespace kvt::win32 {

// Owns one handle of a kind described by Traits (Type, Invalid(), Close()).
template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() = default;
  explicit UniqueResource(Type value) : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { Reset(); }

  Type Get() const { return value_; }
  bool Valid() const { return value_ != Traits::Invalid() && value_ != Type{}; }
  explicit operator bool() const { return Valid(); }
  Type Release() { return std::exchange(value_, Traits::Invalid()); }
  void Reset(Type value = Traits::Invalid()) {
    if (Valid()) Traits::Close(value_);
    value_ = value;
  }

 private:
  Type value_ = Traits::Invalid();
};

struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};
struct HinternetTraits {
  using Type = HINTERNET;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::InternetCloseHandle(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFind = UniqueResource<FindHandleTraits>;
using UniqueHinternet = UniqueResource<HinternetTraits>;

// Owns one reference to a COM interface.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { Reset(); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Releases what is held and hands out the slot for a function that returns a new reference.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
  }
  template <typename U>
  HRESULT As(ComPtr<U>& out) const {
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(__uuidof(U), out.PutVoid());
  }

 private:
  T* p_ = nullptr;
};

// Joins the calling thread to a single-threaded apartment for one use of COM, and leaves it
// again at the end when this scope was the one that joined.
class ComApartment {
 public:
  ComApartment() : hr_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  // False only when COM cannot be used on this thread at all (a multithreaded apartment
  // is fine for the in-process objects used here).
  bool Usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }

 private:
  HRESULT hr_;
};

}  // namespace kvt::win32
