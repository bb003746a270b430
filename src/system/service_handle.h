#pragma once
// Owner of one Service Control Manager handle (connection or service).
#include "system/scm_api.h"
#include "system/unique_handle.h"

struct ServiceHandleTraits {
  using Handle = ScmApi::Handle;
  static bool Close(Handle handle) { return ScmApi::Close(handle); }
  static uint32_t LastError() { return ScmApi::LastError(); }
  static constexpr const char* kCloseFailure = "Unable to close service handle";
};

using ServiceHandle = UniqueHandle<ServiceHandleTraits>;
