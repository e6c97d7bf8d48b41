#pragma once
// Archiving of model objects by property name. A model that wants to go into a keyed archive
// derives from plat::NSCoding as well and puts HV_CODING_IMPLEMENTATION in its body:
//
//   class Account : public plat::NSObject, public plat::NSCoding {
//    public:
//     std::string name;
//     HV_MODEL(Account, plat::NSObject, PLAT_PROPERTY(name))
//     HV_CODING_IMPLEMENTATION
//   };
//
// Which properties take part: those passing the coding filters (kv_allowedCodingPropertyNames,
// kv_ignoredCodingPropertyNames and their setups). Nested models must be archivable too.
// Thread-safety: as the coders (one coder per thread).

#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSKeyedUnarchiver.h"
#include "platform/foundation/Object.h"

// Encodes each taking-part property's value (the null object for a KVC-disabled type) under
// the property name; nil values are not written.
void kv_encode(const plat::Object& object, plat::NSKeyedArchiver& coder);
// Decodes each taking-part property from its name, else from "_" and its name, and sets what
// was found (nil and KVC-disabled types are not set). A value the property cannot hold is
// skipped and recorded as the class's kv_error.
void kv_decode(plat::Object& object, plat::NSKeyedUnarchiver& coder);

#define HV_CODING_IMPLEMENTATION                                        \
  void encodeWithCoder(::plat::NSKeyedArchiver& coder) const override { \
    ::kv_encode(*this, coder);                                          \
  }                                                                     \
  bool initWithCoder(::plat::NSKeyedUnarchiver& coder) override {       \
    ::kv_decode(*this, coder);                                          \
    return true;                                                        \
  }
