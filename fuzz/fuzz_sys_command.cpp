// Arguments of the page's Sys commands: JSON texts of objects and arrays, paths, launch URLs
// and the resolver file's text. Nothing crashes; a path the confinement accepts lies inside
// the app container; the launch information is JSON of an object.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "KRH5Plugin/SysInterface.h"
#include "KRH5Plugin/UIAlertViewController.h"
#include "KRH5Plugin/Utils.h"
#include "fuzz/FuzzSupport.h"
#include "platform/device/CSSearchableIndex.h"
#include "platform/device/DNSServers.h"
#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSJSONSerialization.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/fuzz_sys_command.XXXXXX";
  if (!mkdtemp(folder)) std::abort();
  plat::DeviceRoot::setPath(folder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  uint8_t choice = input.byte();
  std::string text(input.rest());
  SysInterface sys;
  switch (choice % 6) {
    case 0: {
      if (auto object = SysArgs::Object(text)) {
        for (const char* key : {"width", "height", "crop", "maxWidth", "savePath"}) {
          SysArgs::Int(*object, key);
          SysArgs::UInt(*object, key);
          SysArgs::Bool(*object, key);
          SysArgs::Text(*object, key);
        }
      }
      break;
    }
    case 1:
      sys.AddSearchItems(text);
      plat::CSSearchableIndex::defaultSearchableIndex().resetForTesting();
      break;
    case 2:
      sys.CreateAlert(text);
      UIAlertViewController::ResetForTesting();
      break;
    case 3: {
      // Nothing exists in the container, so no move or copy can succeed.
      FUZZ_CHECK(!sys.MoveFile(text) && !sys.CopyFile(text), text);
      auto contained = Utils::ContainedPath(text);
      const std::string home = plat::DeviceRoot::homePath();
      FUZZ_CHECK(!contained || contained->rfind(home + "/", 0) == 0, text);
      // The same text below the documents folder. A NUL byte would cut a path short for the
      // system: never part of an accepted path.
      auto below = Utils::ContainedPath(plat::DeviceRoot::documentsPath() + "/" + text);
      for (const auto& p : {contained, below}) {
        FUZZ_CHECK(!p || (p->rfind(home + "/", 0) == 0 && p->find('\0') == std::string::npos),
                   text);
      }
      break;
    }
    case 4: {
      sys.SetAppLaunchUrl(plat::NSURL::URLWithString(text));
      if (auto info = sys.GetAppLaunchInfo()) {
        FUZZ_CHECK(plat::NSJSONSerialization::JSONObjectWithString(*info).isDictionary(), text);
      }
      sys.ReleaseSDK();
      break;
    }
    default:
      plat::DNSServers::parse(text);
      break;
  }
  return 0;
}
