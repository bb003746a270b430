// Shell links ("*.lnk") through IShellLinkW and IPersistFile.
#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>

#include "system/errors.h"
#include "system/files.h"
#include "system/win/com_ptr.h"

void CreateShortcut(std::wstring_view target, std::wstring_view linkPath) {
  static constexpr CLSID kShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  static constexpr IID kShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  static constexpr IID kPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

  ComPtr<IShellLinkW> link;
  HRESULT hr = CoCreateInstance(kShellLink, nullptr, CLSCTX_INPROC_SERVER, kShellLinkW, link.PutVoid());
  if (FAILED(hr)) Errors::ThrowCom("Unable to create shell link instance", hr);
  hr = link->SetPath(std::wstring(target).c_str());
  if (FAILED(hr)) Errors::ThrowCom("Unable to set shell link path", hr);
  ComPtr<IPersistFile> file;
  hr = link->QueryInterface(kPersistFile, file.PutVoid());
  if (FAILED(hr)) Errors::ThrowCom("Unable to get file from shell link", hr);
  hr = file->Save(std::wstring(linkPath).c_str(), TRUE);
  if (FAILED(hr)) Errors::ThrowCom("Unable to save shell link file", hr);
}
