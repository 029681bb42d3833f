#pragma once
// ComObject: IUnknown for a heap object of ours that implements one COM
// interface. It starts with one reference (the creator's), deletes itself
// on the last Release, and its QueryInterface hands out the object for
// IUnknown and the interface id it was made with; a class that answers for
// more ids overrides Answers.
//
// The count is atomic: COM lets any thread AddRef and Release.

#include <unknwn.h>

#include <atomic>

namespace platform::com {

template <class Interface>
class ComObject : public Interface {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !Answers(riid)) return E_NOINTERFACE;
    *ppvObject = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  explicit ComObject(const IID& iid) : iid_(iid) {}
  virtual ~ComObject() = default;

  // Whether QueryInterface hands out this object for riid (IUnknown aside).
  virtual bool Answers(REFIID riid) const { return IsEqualIID(riid, iid_); }
  const IID& InterfaceId() const { return iid_; }

 private:
  const IID iid_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace platform::com
