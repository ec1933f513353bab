// Automation basics shared by the component, its hosts and the security client library:
// result codes, interface identifiers, reference counting, nullable strings, booleans, dates and
// the variant. These stand in for the COM types the component was designed around, so the
// interfaces keep their shape (HRESULT results, out parameters, reference-counted objects).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace qx {

// ---------------------------------------------------------------------------------------------
// Result codes. Values are those of Windows, so hosts and logs show familiar numbers.
using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
// ERROR_BUSY as an HRESULT: a job method's answer while another job runs.
constexpr HRESULT E_BUSY = static_cast<HRESULT>(0x800700AA);

constexpr bool Succeeded(HRESULT hr) {
  return hr >= 0;
}
constexpr bool Failed(HRESULT hr) {
  return hr < 0;
}

// A Win32/errno style error number as an HRESULT (facility 7).
constexpr HRESULT HresultFromWin32(uint32_t error) {
  return error == 0 ? S_OK : static_cast<HRESULT>((error & 0x0000FFFFu) | (7u << 16) | 0x80000000u);
}

// ---------------------------------------------------------------------------------------------
// Interface and class identifiers.
struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  // Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at compile time.
  static constexpr Guid Parse(std::string_view text) {
    Guid g;
    size_t pos = text.size() > 0 && text[0] == '{' ? 1 : 0;
    auto hex = [&](int digits) {
      uint32_t value = 0;
      for (int i = 0; i < digits; ++i) {
        if (pos < text.size() && text[pos] == '-') ++pos;
        char c = pos < text.size() ? text[pos++] : '0';
        uint32_t d = (c >= '0' && c <= '9')   ? static_cast<uint32_t>(c - '0')
                     : (c >= 'a' && c <= 'f') ? static_cast<uint32_t>(c - 'a' + 10)
                     : (c >= 'A' && c <= 'F') ? static_cast<uint32_t>(c - 'A' + 10)
                                              : 0;
        value = value * 16 + d;
      }
      return value;
    };
    g.data1 = hex(8);
    g.data2 = static_cast<uint16_t>(hex(4));
    g.data3 = static_cast<uint16_t>(hex(4));
    for (auto& b : g.data4) b = static_cast<uint8_t>(hex(2));
    return g;
  }

  friend constexpr bool operator==(const Guid& a, const Guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.data4[i] != b.data4[i]) return false;
    return true;
  }
};

// ---------------------------------------------------------------------------------------------
// The root interface. Every object is reference counted; Release() of the last reference
// destroys it. Objects are created with one reference owned by the creator.
struct IUnknown {
  static constexpr Guid kIid = Guid::Parse("{00000000-0000-0000-C000-000000000046}");
  virtual HRESULT QueryInterface(const Guid& iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Owning smart pointer for reference-counted interfaces (AddRef on copy, Release on reset).
template <typename T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  // Takes over an existing reference (no AddRef).
  static RefPtr Adopt(T* p) {
    RefPtr r;
    r.p_ = p;
    return r;
  }
  // Shares a reference (AddRef).
  static RefPtr Share(T* p) {
    if (p) p->AddRef();
    return Adopt(p);
  }
  RefPtr(const RefPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  RefPtr(RefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  RefPtr& operator=(RefPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~RefPtr() { Reset(); }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives up ownership of the reference to the caller.
  T* Detach() { return std::exchange(p_, nullptr); }
  // Address for an out parameter; releases what is held first.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  // QueryInterface into another interface type; empty on failure.
  template <typename U>
  RefPtr<U> As() const {
    RefPtr<U> out;
    if (p_) p_->QueryInterface(U::kIid, out.PutVoid());
    return out;
  }

 private:
  T* p_ = nullptr;
};

// Thread-safe reference count for object implementations.
class RefCount {
 public:
  uint32_t Increment() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Decrement() { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  uint32_t Value() const { return count_.load(std::memory_order_acquire); }

 private:
  std::atomic<uint32_t> count_{1};
};

// Reference counting and interface lookup for an object that offers the interfaces
// First, Rest... (each with its kIid): QueryInterface answers those and IUnknown (as First),
// AddRef and Release are thread-safe, and the last Release deletes the object. New objects start
// with one reference, owned by their creator.
template <typename First, typename... Rest>
class ComObject : public First, public Rest... {
 public:
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IUnknown::kIid || iid == First::kIid) {
      *out = static_cast<First*>(this);
    } else {
      ((iid == Rest::kIid && !*out ? (void)(*out = static_cast<Rest*>(this)) : (void)0), ...);
    }
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return refs_.Increment(); }
  uint32_t Release() override {
    uint32_t left = refs_.Decrement();
    if (left == 0) delete this;
    return left;
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  RefCount refs_;
};

// ---------------------------------------------------------------------------------------------
// Automation strings: UTF-8 text that may be null. Null and empty are different values.
using BStr = std::optional<std::string>;

// Automation booleans: VARIANT_TRUE is -1 (all bits set), VARIANT_FALSE is 0.
using VariantBool = int16_t;
constexpr VariantBool VARIANT_TRUE = -1;
constexpr VariantBool VARIANT_FALSE = 0;

// OLE automation date: days since 1899-12-30 as a double; the fraction is the time of day.
using Date = double;

// ---------------------------------------------------------------------------------------------
// A small automation variant: empty, null, bool, 32-bit integer, double, date, string or object.
class Variant {
 public:
  enum class Type { kEmpty, kNull, kBool, kInt32, kDouble, kDate, kString, kObject };

  Variant() = default;
  static Variant Null() {
    Variant v;
    v.value_ = NullTag{};
    return v;
  }
  static Variant FromBool(bool b) { return Variant(b); }
  static Variant FromDate(Date d) {
    Variant v;
    v.value_ = DateTag{d};
    return v;
  }
  explicit Variant(bool b) : value_(b) {}
  explicit Variant(int32_t i) : value_(i) {}
  explicit Variant(double d) : value_(d) {}
  explicit Variant(std::string s) : value_(std::move(s)) {}
  explicit Variant(const char* s) : value_(std::string(s ? s : "")) {}
  // Shares a reference to the object.
  explicit Variant(IUnknown* object) : value_(RefPtr<IUnknown>::Share(object)) {}
  explicit Variant(RefPtr<IUnknown> object) : value_(std::move(object)) {}

  Type type() const { return static_cast<Type>(value_.index()); }
  bool IsEmpty() const { return type() == Type::kEmpty; }
  bool IsNull() const { return type() == Type::kNull; }

  bool AsBool() const { return std::get<bool>(value_); }
  int32_t AsInt32() const { return std::get<int32_t>(value_); }
  double AsDouble() const { return std::get<double>(value_); }
  Date AsDate() const { return std::get<DateTag>(value_).value; }
  const std::string& AsString() const { return std::get<std::string>(value_); }
  IUnknown* AsObject() const { return std::get<RefPtr<IUnknown>>(value_).Get(); }

  const std::string* TryString() const { return std::get_if<std::string>(&value_); }
  IUnknown* TryObject() const {
    auto* p = std::get_if<RefPtr<IUnknown>>(&value_);
    return p ? p->Get() : nullptr;
  }

  // Equality as a locale-neutral variant comparison: same type and same value; two empty or two
  // null variants are equal; objects compare by identity.
  friend bool operator==(const Variant& a, const Variant& b) {
    if (a.value_.index() != b.value_.index()) return false;
    switch (a.type()) {
      case Type::kEmpty:
      case Type::kNull:
        return true;
      case Type::kBool:
        return a.AsBool() == b.AsBool();
      case Type::kInt32:
        return a.AsInt32() == b.AsInt32();
      case Type::kDouble:
        return a.AsDouble() == b.AsDouble();
      case Type::kDate:
        return a.AsDate() == b.AsDate();
      case Type::kString:
        return a.AsString() == b.AsString();
      case Type::kObject:
        return a.AsObject() == b.AsObject();
    }
    return false;
  }

 private:
  struct NullTag {};
  struct DateTag {
    double value;
  };
  std::variant<std::monostate, NullTag, bool, int32_t, double, DateTag, std::string,
               RefPtr<IUnknown>>
      value_;
};

// Enumerator over variants (the shape of IEnumVARIANT).
struct IEnumVariant : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{00020404-0000-0000-C000-000000000046}");
  // Fills up to `count` items; `fetched` (may be null) receives how many. S_FALSE when fewer.
  virtual HRESULT Next(uint32_t count, Variant* items, uint32_t* fetched) = 0;
  virtual HRESULT Skip(uint32_t count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumVariant** out) = 0;

 protected:
  ~IEnumVariant() = default;
};

// Connection points: an event source offers one point per event interface; a sink connects with
// Advise and receives a cookie that Unadvise takes back.
struct IConnectionPoint : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{B196B286-BAB4-101A-B69C-00AA00341D07}");
  virtual HRESULT GetConnectionInterface(Guid* iid) = 0;
  virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;

 protected:
  ~IConnectionPoint() = default;
};

struct IConnectionPointContainer : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{B196B284-BAB4-101A-B69C-00AA00341D07}");
  virtual HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** out) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

}  // namespace qx
