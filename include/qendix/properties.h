// The component's scalar properties by name, for hosts that address them by text (the qendix
// command, the C interface). Each entry names the IQendix accessors; `put` is null for a
// read-only property.
#pragma once

#include <string_view>

#include "qendix/qendix.h"

namespace qx {

struct StringProperty {
  const char* name;
  HRESULT (IQendix::*get)(BStr*);
  HRESULT (IQendix::*put)(const BStr&);
};

struct BoolProperty {
  const char* name;
  HRESULT (IQendix::*get)(VariantBool*);
  HRESULT (IQendix::*put)(VariantBool);
};

inline constexpr StringProperty kStringProperties[] = {
    {"qendixVersion", &IQendix::get_qendixVersion, nullptr},
    {"trustCenter", &IQendix::get_trustCenter, &IQendix::put_trustCenter},
    {"inputDirectory", &IQendix::get_inputDirectory, &IQendix::put_inputDirectory},
    {"workDirectory", &IQendix::get_workDirectory, &IQendix::put_workDirectory},
    {"ean", &IQendix::get_ean, nullptr},
    {"esr", &IQendix::get_esr, nullptr},
    {"esrPDF", &IQendix::get_esrPDF, nullptr},
    {"tcTel", &IQendix::get_tcTel, nullptr},
    {"session", &IQendix::get_session, nullptr},
    {"asasVersion", &IQendix::get_asasVersion, nullptr},
    {"asasLogin", &IQendix::get_asasLogin, &IQendix::put_asasLogin},
};

inline constexpr BoolProperty kBoolProperties[] = {
    {"withPDF", &IQendix::get_withPDF, &IQendix::put_withPDF},
    {"withArchive", &IQendix::get_withArchive, &IQendix::put_withArchive},
    {"activateGUI", &IQendix::get_activateGUI, nullptr},  // hidden: not set by name
    {"debug", &IQendix::get_debug, &IQendix::put_debug},
};

inline const StringProperty* FindStringProperty(std::string_view name) {
  for (const auto& p : kStringProperties)
    if (name == p.name) return &p;
  return nullptr;
}

inline const BoolProperty* FindBoolProperty(std::string_view name) {
  for (const auto& p : kBoolProperties)
    if (name == p.name) return &p;
  return nullptr;
}

}  // namespace qx
