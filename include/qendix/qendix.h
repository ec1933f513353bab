// Public interface of the qendix component (libqendix.so).
//
// A host creates the component with QxCreateObject("qendix.1", ...), sets its properties,
// connects an IQendixEvents sink through the IConnectionPointContainer interface and calls the
// job methods. Every job runs on a worker thread of the component; the host learns what happens
// only through qendixEvent, which is called on the thread that raises the event.
//
// Objects are reference counted: the creator owns one reference and calls Release() when done.
// A CQendix object is used from the thread that created it (apartment rule); events arrive on
// worker threads.
#pragma once

#include "qendix/asas.h"
#include "qendix/com.h"

namespace qx {

enum tagMsgLevel : int32_t { mlDebug = 0, mlInfo = 1, mlWarning = 2, mlError = 3, mlFatal = 4 };
enum tagMsgClass : int32_t { mcSystem = 0, mcAsas = 1, mcModule = 2, mcCount = 3 };
enum tagMsgOrigin : int32_t {
  moPReader = 0,
  moPChecker = 1,
  moPAnonymizer = 2,
  moPEncrypter = 3,
  moPSender = 4,
  moIGReceiver = 5,
  moIGChecker = 6,
};

// The labels of the Trust Center directory, copied when the collection was made. Item is 1-based.
struct IQendixCollection : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A01}");
  virtual HRESULT get__NewEnum(IUnknown** ppUnk) = 0;
  virtual HRESULT get_Item(int32_t Index, BStr* pVal) = 0;
  virtual HRESULT get_Count(int32_t* pVal) = 0;

 protected:
  ~IQendixCollection() = default;
};

// The component. Members in the order of the automation interface.
struct IQendix : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A02}");
  virtual HRESULT get_qendixVersion(BStr* pVal) = 0;
  virtual HRESULT get_trustCenters(IQendixCollection** pVal) = 0;
  virtual HRESULT get_trustCenter(BStr* pVal) = 0;
  virtual HRESULT put_trustCenter(const BStr& newVal) = 0;
  virtual HRESULT get_inputDirectory(BStr* pVal) = 0;
  virtual HRESULT put_inputDirectory(const BStr& newVal) = 0;
  virtual HRESULT get_workDirectory(BStr* pVal) = 0;
  virtual HRESULT put_workDirectory(const BStr& newVal) = 0;
  virtual HRESULT get_withPDF(VariantBool* pVal) = 0;
  virtual HRESULT put_withPDF(VariantBool newVal) = 0;
  virtual HRESULT get_withArchive(VariantBool* pVal) = 0;
  virtual HRESULT put_withArchive(VariantBool newVal) = 0;
  virtual HRESULT get_ean(BStr* pVal) = 0;
  virtual HRESULT get_esr(BStr* pVal) = 0;
  virtual HRESULT get_esrPDF(BStr* pVal) = 0;
  virtual HRESULT get_tcTel(BStr* pVal) = 0;
  virtual HRESULT get_session(BStr* pVal) = 0;
  virtual HRESULT get_asasVersion(BStr* pVal) = 0;
  virtual HRESULT get_asasLogins(IAsasCollection** pVal) = 0;
  virtual HRESULT get_asasLogin(BStr* pVal) = 0;
  virtual HRESULT put_asasLogin(const BStr& newVal) = 0;
  virtual HRESULT get_activateGUI(VariantBool* pVal) = 0;
  virtual HRESULT put_activateGUI(VariantBool newVal) = 0;
  virtual HRESULT get_debug(VariantBool* pVal) = 0;
  virtual HRESULT put_debug(VariantBool newVal) = 0;
  virtual HRESULT Auto() = 0;
  virtual HRESULT Read() = 0;
  virtual HRESULT Check() = 0;
  virtual HRESULT Anonymize() = 0;
  virtual HRESULT Send() = 0;
  virtual HRESULT Cancel() = 0;

 protected:
  ~IQendix() = default;
};

// The event sink a host connects. Called directly on the thread that raises the event (a job's
// worker thread or the security-client session thread). A failing result stops delivery of that
// event to the sinks connected after this one. fileName and msg may be null.
struct _IQendixEvents : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A03}");
  virtual HRESULT qendixEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin,
                              int32_t code, const BStr& fileName, const BStr& msg) = 0;

 protected:
  ~_IQendixEvents() = default;
};

// A yes-or-no question the component puts to the user (whether to install a newer version). An
// event sink connected to the component may also offer this interface; the component asks the
// connected sinks in connection order through QueryInterface, and the first whose Ask succeeds
// answers. A failing result (E_NOTIMPL) passes the question on; no answer at all means No.
// Called on a job's worker thread, which waits for the answer; title and text are never null.
struct IQendixPrompt : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A05}");
  // Sets *yes to VARIANT_TRUE for Yes, VARIANT_FALSE for No.
  virtual HRESULT Ask(const BStr& title, const BStr& text, VariantBool* yes) = 0;

 protected:
  ~IQendixPrompt() = default;
};

// Read-only views of the component for the people who run it, reached from IQendix by
// QueryInterface. Both work with the component's current properties, need no job lock, raise no
// event and send nothing; their texts are in the user's language (or JSON).
struct IQendixInspect : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A20}");
  // The status: settings, the Trust Center and its URL, the security client, the files waiting
  // in each work folder and today's error folder, the sent-invoice register, the last job of
  // today's log. One screen of text, or one JSON object when json is VARIANT_TRUE.
  virtual HRESULT Status(VariantBool json, BStr* report) = 0;
  // What would leave the practice for the invoice file at `path`: a copy is checked and
  // anonymized in a private temporary folder (the file itself is never moved), without network
  // access and without the security client; the transfer document shows each sealed part as
  // "[sealed for RCPT: N bytes]", followed by the values masked, left out or sealed and where
  // they stood. S_OK when the document was made; S_FALSE, with the report saying why, when the
  // invoice was refused or could not be anonymized; E_INVALIDARG when `path` names no regular
  // file; a system error as HRESULT when the copy cannot be made.
  virtual HRESULT Preview(const BStr& path, VariantBool json, BStr* report) = 0;

 protected:
  ~IQendixInspect() = default;
};

// The code object: pseudonymous identifiers and the encryption callback of the transform.
struct ICode : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A04}");
  virtual HRESULT get_Patient(const Variant& id, BStr* pVal) = 0;
  virtual HRESULT get_Person(const BStr& firstName, const BStr& lastName, Date birthDate,
                             const Variant& zip, BStr* pVal) = 0;
  virtual HRESULT get_Soundex(const BStr& string, BStr* pVal) = 0;
  virtual HRESULT Encrypt(IUnknown* pUnk, Variant* pEncrypted) = 0;

 protected:
  ~ICode() = default;
};

constexpr Guid kClsidCQendix = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A10}");
constexpr Guid kClsidCCode = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A11}");
constexpr Guid kClsidCCenters = Guid::Parse("{5E0C7B21-8A43-4D0E-9F3A-6C1D2B7E4A12}");

}  // namespace qx

extern "C" {
// Creates the object registered under `progid` ("qendix.1", "qendix", "qendix.Code.1",
// "qendix.Code", or one of the security client's ProgIDs) and returns its interface `iid` with
// one reference in *out. The module's load-time work (first-run settings, the job lock) runs once
// per process, at the first call. Returns REGDB_E_CLASSNOTREG for an unknown ProgID.
__attribute__((visibility("default"))) qx::HRESULT QxCreateObject(const char* progid,
                                                                  const qx::Guid* iid, void** out);
typedef qx::HRESULT (*QxCreateObjectFn)(const char* progid, const qx::Guid* iid, void** out);
}
