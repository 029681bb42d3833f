#pragma once
// The QueryInterface of the tests' hand-written COM fakes: one rule for all
// of them, so that each fake states only which interfaces it answers for.
//
//   HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
//     return fake_com::Query(riid, ppv, {{IID_IDispatch, static_cast<IDispatch*>(this)}});
//   }
//
// IUnknown is answered with the first entry's pointer; the pointer handed
// out is AddRef'ed through itself. A null ppv gives E_POINTER, anything not
// listed E_NOINTERFACE with *ppv null. alsoAs: further ids answered with the
// first entry (a fake that poses as several dispatch interfaces).
//
// The fakes keep their own AddRef and Release: most live on the test's
// stack and only count, so that a test can see every borrowed reference
// given back.

#include <unknwn.h>

#include <initializer_list>
#include <vector>

namespace fake_com {

struct Answer {
  const IID& iid;
  IUnknown* object;
};

inline HRESULT Query(REFIID riid, void** ppv, std::initializer_list<Answer> answers,
                     const std::vector<IID>& alsoAs = {}) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IUnknown* found = nullptr;
  for (const Answer& answer : answers)
    if (IsEqualIID(riid, answer.iid)) found = answer.object;
  if (!found && answers.size() > 0) {
    bool first = IsEqualIID(riid, IID_IUnknown);
    for (const IID& iid : alsoAs) first = first || IsEqualIID(riid, iid);
    if (first) found = answers.begin()->object;
  }
  if (!found) return E_NOINTERFACE;
  found->AddRef();
  *ppv = found;
  return S_OK;
}

}  // namespace fake_com
