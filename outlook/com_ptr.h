#pragma once
// ComPtr<T>: one counted reference to a COM interface. Copying adds a
// reference, destruction releases it; a moved-from ComPtr is empty.

#include <unknwn.h>

#include <cstddef>
#include <utility>

namespace outlook {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Shares p: adds a reference of its own.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }

  // Takes over a reference the caller owns (a fresh out-parameter).
  static ComPtr Adopt(T* p) {
    ComPtr r;
    r.p_ = p;
    return r;
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(p_, nullptr); }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Releases what is held and returns the slot for an out-parameter.
  T** Receive() {
    Reset();
    return &p_;
  }
  void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // QueryInterface for Q; empty on refusal, the status in *status if given.
  template <class Q>
  ComPtr<Q> As(REFIID iid, HRESULT* status = nullptr) const {
    ComPtr<Q> out;
    HRESULT hr = p_ ? p_->QueryInterface(iid, out.ReceiveVoid()) : E_POINTER;
    if (SUCCEEDED(hr) && !out) hr = E_NOINTERFACE;
    if (FAILED(hr)) out.Reset();
    if (status) *status = hr;
    return out;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace outlook
