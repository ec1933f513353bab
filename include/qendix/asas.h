// The security client's interfaces, as the component reaches them through the class registry.
// The client itself is a separately installed library (libasas.so.1); it exports
// AsasCreateObject, which the component's class registry calls for the ProgIDs "Asas.Client",
// "Asas.Client.Conf", "ASAS.SMIME" and "Asas.SMIME". A library that cannot be loaded means the
// security client is not installed.
#pragma once

#include "qendix/com.h"

namespace qx {

// A collection of the security client: logins, entries of a login, entries of a section.
// Item is 1-based.
struct IAsasCollection : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{C8A8842F-3054-11D3-823C-00A024104348}");
  virtual HRESULT get_Count(int32_t* pVal) = 0;
  virtual HRESULT get_Item(int32_t idx, Variant* pVal) = 0;
  virtual HRESULT get__NewEnum(IUnknown** ppUnk) = 0;

 protected:
  ~IAsasCollection() = default;
};

// One named entry of a collection: a name and a value.
struct IAsasEntry : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{C75D41F9-4A5F-11D3-B0CE-0000E8E66360}");
  virtual HRESULT get_Name(Variant* pVal) = 0;
  virtual HRESULT get_Value(Variant* pVal) = 0;

 protected:
  ~IAsasEntry() = default;
};

// The running client: its state and version, start and stop under the chosen login.
// The object is also a connection point container for IAsasEvents.
struct IAsasClient : IUnknown {
  static constexpr Guid kClsid = Guid::Parse("{C1B3BE95-2FB7-11D3-823B-00A024104348}");
  static constexpr Guid kIid = Guid::Parse("{C1B3BE94-2FB7-11D3-823B-00A024104348}");
  // VARIANT_TRUE (all bits set) while the client runs.
  virtual HRESULT ClientIsRunning(VariantBool* running) = 0;
  virtual HRESULT ClientVersion(BStr* version) = 0;
  virtual HRESULT ClientStart() = 0;
  virtual HRESULT ClientStop() = 0;

 protected:
  ~IAsasClient() = default;
};

// The client's configuration: logins, per-login entries and sections of keys.
struct IAsasClientConf : IUnknown {
  static constexpr Guid kClsid = Guid::Parse("{C1B3BE98-2FB7-11D3-823B-00A024104348}");
  static constexpr Guid kIid = Guid::Parse("{C1B3BE99-2FB7-11D3-823B-00A024104348}");
  // An object offering IAsasCollection of the login names.
  virtual HRESULT ConfLogins(Variant* logins) = 0;
  virtual HRESULT ConfCurrentLogin(BStr* login) = 0;
  virtual HRESULT ConfSetCurrentLogin(const BStr& login) = 0;
  // An object offering IAsasCollection of the login's entries.
  virtual HRESULT ConfLoginEntries(const BStr& login, Variant* entries) = 0;
  // An object offering IAsasCollection of the key's entries (section "smime", key "key").
  virtual HRESULT ConfGetValue(const BStr& section, const BStr& key, Variant* value) = 0;
  // Stores a value; an empty value withdraws the key.
  virtual HRESULT ConfSetValue(const BStr& section, const BStr& key, const Variant& value) = 0;

 protected:
  ~IAsasClientConf() = default;
};

// S/MIME envelopes: load a message file (header lines, an empty line, the body), envelope it for
// the recipients of its "To: " line, save the result.
struct IAsasSmime : IUnknown {
  static constexpr Guid kClsid = Guid::Parse("{C1B3BE9B-2FB7-11D3-823B-00A024104348}");
  static constexpr Guid kIid = Guid::Parse("{C1B3BE9A-2FB7-11D3-823B-00A024104348}");
  virtual HRESULT SmimeEncrypt() = 0;
  virtual HRESULT SmimeLoad(const BStr& fileName) = 0;
  virtual HRESULT SmimeSave(const BStr& fileName) = 0;
  // S_OK with the certificate as base64 DER text; a failure HRESULT when not found.
  virtual HRESULT SmimeFindCertificate(const BStr& name, BStr* certificate) = 0;

 protected:
  ~IAsasSmime() = default;
};

// Optional second interface of an "ASAS.SMIME" object: the same load and save as IAsasSmime's,
// with the message and the envelope handed over in memory instead of through files. The rules
// for the message text and the saved text are those of the message file (SmimeLoad, SmimeSave);
// SmimeEncrypt envelopes a message loaded either way. The caller owns the message text and wipes
// it; the object keeps the plain body until the next load or its end. A client that does not
// offer it answers E_NOINTERFACE, and the files are used.
struct IAsasSmimeMemory : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{5E0C2A41-7D3B-4F19-9A62-3C8E1B7D4F05}");
  // Loads a message: header lines, an empty line, the body (at most 64 MiB).
  virtual HRESULT SmimeLoadText(const BStr& message) = 0;
  // The text SmimeSave would write for the last envelope, written into the storage *envelope
  // already holds (if any), so that a caller may hand the same buffer for every envelope.
  virtual HRESULT SmimeSaveText(BStr* envelope) = 0;

 protected:
  ~IAsasSmimeMemory() = default;
};

// The client's status events (DISPID 1 of its event interface).
struct IAsasEvents : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{C1B3BE97-2FB7-11D3-823B-00A024104348}");
  virtual HRESULT AsasStatus(int16_t level, const BStr& text) = 0;

 protected:
  ~IAsasEvents() = default;
};

}  // namespace qx

extern "C" {
// Entry point of the security client library: creates the object registered under `progid`
// and returns its interface `iid` with one reference. REGDB_E_CLASSNOTREG for an unknown ProgID.
typedef qx::HRESULT (*AsasCreateObjectFn)(const char* progid, const qx::Guid* iid, void** out);
}
