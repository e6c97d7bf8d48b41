#pragma once
// SysInterface: the native side of the page's "Sys" commands - device and system facts,
// URLs, vibration, the native alert, the search index, keychain entries, the clipboard,
// images and files. One instance exists while the bridge is loaded; the keychain store and
// the launch URL live in class-level storage shared by whatever instance exists.
//
// Arguments arrive as the page sent them: texts, or JSON texts of objects. Structured
// results are pretty-printed JSON texts. Failures are silent: nothing happens, or the result
// is NO / nullopt; but a keychain write (SetKeychain, DelKeychain, ResetKeychain) is stored
// or its failure reaches the page as "onKeychainError", and one that another process keeps
// waiting is stored later, in order, while reads already see it (SysKeychainWriter). An argument that the page's checks let through but a command cannot use
// (a keychain value that is no text, a thumbnail larger than the image readers' pixel cap)
// is refused with the warning "LM_IOS.<command> param error" in the log.
//
// Paths given by the page are confined to the app container (its Documents, Library and tmp
// folders): each is made canonical, and a path outside gives NO / nullopt and touches
// nothing. Files are replaced atomically, so a failed write keeps the old file.
//
// The screens the picker, QR and crop commands open belong to the screens' own classes; they
// are reached through SysScreens, and without them those commands do nothing.
//
// Main thread only; later outcomes (alert buttons, opened URLs, photos) reach the page
// through the SysPlugin event operations.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KRH5Plugin/LMKeyChainStore.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"

// The screens and generators that other parts of the bridge provide.
struct SysScreens {
  // Opens the multi-image picker (filter type, maximum selection).
  std::function<void(uint64_t type, uint64_t maxSelection)> showImagePicker;
  // Opens the QR scanner.
  std::function<void()> scanQRCode;
  // A QR image of `text`, `size` points square; null when none can be made.
  std::function<plat::UIImageRef(const std::string& text, double size)> createQRCode;
  // Opens the crop screen, which writes the crop to savePath.
  std::function<void(const plat::UIImageRef& image, const std::string& savePath, bool isPng,
                     uint64_t maxWidth, uint64_t maxHeight)>
      cropImage;
  // Writes the image to the saved-photos album.
  std::function<void(const plat::UIImageRef& image)> saveToPhotoAlbum;
};

class SysInterface : public plat::Object {
 public:
  using Text = std::optional<std::string>;

  std::string className() const override { return "SysInterface"; }

  // Installs the screens (an empty member leaves that command without effect).
  static void SetScreens(SysScreens screens);
  static SysScreens GetScreens();

  virtual void InitSDK() {}
  ~SysInterface() override = default;
  // Drops the keychain store and the launch URL.
  virtual void ReleaseSDK();

  // Device and system.
  virtual Text GetAdId();
  virtual Text GetIDFV();
  virtual std::string GetDeviceInfo();
  virtual std::string GetDeviceState();
  virtual std::string GetNetworkInfo();
  virtual bool CheckPermission(const Text& what);
  // The Info.plist value as text: texts as they are, dictionaries and arrays as compact
  // JSON, other values in their "%@" form; nullopt for a missing key.
  virtual Text GetMetaData(const Text& key);
  virtual void OpenUrl(const Text& url);
  virtual void Vibrate();
  virtual void SetAppLaunchUrl(const plat::NSURLRef& url);
  virtual Text GetAppLaunchInfo();
  virtual void AddSearchItems(const Text& json);
  virtual void ClearSearchItems();
  virtual void CreateAlert(const Text& json);
  virtual void AddAlertButton(const Text& title);
  virtual void ShowAlert();

  // Keychain, clipboard.
  virtual void InitKeychain(const Text& service);
  virtual void SetKeychain(const Text& json);
  virtual Text GetKeychain(const Text& key);
  virtual void DelKeychain(const Text& key);
  virtual void ResetKeychain();
  virtual void SetClipboardText(const Text& text);
  virtual Text GetClipboardText();
  // The current keychain store (tests).
  static LMKeyChainStoreRef KeychainStore();

  // QR codes and images.
  virtual void CreateQRCode(const Text& json);
  virtual void ScanQRCode();
  // Opens the picker for photos, the count clamped to 1..4.
  virtual void SelectImage(int32_t count);
  virtual void SaveImageToPhotoAlbum(const Text& path);
  virtual void SaveThumbnail(const Text& json);
  virtual void CropImage(const Text& json);
  virtual void Photograph(const Text& json);

  // Files.
  virtual Text GetDocumentPath();
  virtual bool CreateDir(const Text& path);
  virtual bool MoveFile(const Text& json);
  virtual bool CopyFile(const Text& json);
  virtual Text GetFilesAtPath(const Text& path);
  virtual Text GetDirsAtPath(const Text& path);
  virtual bool IsExistAtPath(const Text& path);
  virtual bool IsDirAtPath(const Text& path);
  virtual bool DeleteAtPath(const Text& path);
};

// Reading the members of a JSON argument, one rule for every command: a member of the wrong
// JSON type counts as missing; numbers, booleans and numeric texts coerce by the platform's
// rules (saturating; NaN and non-numeric text give 0).
namespace SysArgs {
// The object of a JSON text; nullopt for nullopt, invalid JSON or another JSON value.
std::optional<plat::Dictionary> Object(const std::optional<std::string>& json);
std::optional<std::string> Text(const plat::Dictionary& object, const char* key);
std::optional<int32_t> Int(const plat::Dictionary& object, const char* key);
std::optional<uint64_t> UInt(const plat::Dictionary& object, const char* key);
std::optional<bool> Bool(const plat::Dictionary& object, const char* key);
}  // namespace SysArgs
