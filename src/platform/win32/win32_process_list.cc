#include "platform/win32/win32_adapters.h"

#include <oleauto.h>

#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_text.h"

namespace kvt::win32 {
namespace {

// Owns one VARIANT.
class Variant {
 public:
  Variant() { ::VariantInit(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { ::VariantClear(&v_); }
  VARIANT* Put() {
    ::VariantClear(&v_);
    return &v_;
  }
  const VARIANT& Get() const { return v_; }

 private:
  VARIANT v_;
};

// The object interface held in a VARIANT (a dispatch or plain unknown pointer).
template <typename T>
HRESULT QueryFromVariant(const VARIANT& v, ComPtr<T>& out) {
  IUnknown* unknown = nullptr;
  if (v.vt == VT_DISPATCH) unknown = v.pdispVal;
  if (v.vt == VT_UNKNOWN) unknown = v.punkVal;
  if (unknown == nullptr) return E_NOINTERFACE;
  return unknown->QueryInterface(__uuidof(T), out.PutVoid());
}

// ExecQuery(query) on the service object, by name, with the one argument.
HRESULT CallExecQuery(IDispatch* service, const std::wstring& query, Variant& result) {
  OLECHAR name[] = L"ExecQuery";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  HRESULT hr = service->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  Variant argument;
  VARIANT* arg = argument.Put();
  arg->vt = VT_BSTR;
  arg->bstrVal = ::SysAllocStringLen(query.data(), static_cast<UINT>(query.size()));
  if (arg->bstrVal == nullptr) return E_OUTOFMEMORY;
  DISPPARAMS params{arg, nullptr, 1, 0};
  return service->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Put(),
                         nullptr, nullptr);
}

}  // namespace

platform::ProcessQueryAnswer WmiProcessList::ExecQuery(const std::string& query_text) {
  platform::ProcessQueryAnswer answer;
  try {
    ComApartment apartment;
    if (!apartment.Usable()) return answer;

    ComPtr<IDispatch> service;
    answer.bound =
        SUCCEEDED(::CoGetObject(L"winmgmts:", nullptr, IID_IDispatch, service.PutVoid())) &&
        service;
    if (!answer.bound) return answer;

    Variant collection_value;
    ComPtr<IDispatch> collection;
    answer.query_ok =
        SUCCEEDED(CallExecQuery(service.Get(), Widen(query_text), collection_value)) &&
        SUCCEEDED(QueryFromVariant(collection_value.Get(), collection));
    if (!answer.query_ok) return answer;

    // For Each: the collection's enumerator, then one object after another.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    Variant enum_value;
    ComPtr<IEnumVARIANT> objects;
    HRESULT hr = collection->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT,
                                    DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, enum_value.Put(),
                                    nullptr, nullptr);
    if (SUCCEEDED(hr)) hr = QueryFromVariant(enum_value.Get(), objects);
    if (FAILED(hr)) {
      answer.enumeration_failed = true;
      return answer;
    }
    Variant item;
    for (;;) {
      ULONG fetched = 0;
      hr = objects->Next(1, item.Put(), &fetched);
      if (hr == S_OK && fetched == 1) {
        ++answer.delivered;
        continue;
      }
      if (FAILED(hr)) answer.enumeration_failed = true;
      break;
    }
    // Release order: the last object (item), the enumerator and collection, then the service.
  } catch (...) {
    // Nothing here reaches the caller: the answer so far stands.
  }
  return answer;
}

}  // namespace kvt::win32
