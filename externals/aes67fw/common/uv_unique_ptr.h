// Owning pointers for libuv handles: the deleter detaches the handle from its owner and closes it; the
// memory is freed in the close callback, so the loop must run once more for it to be returned.
#pragma once

#include <uv.h>

#include <memory>

template <typename H> struct uv_delete {
  static void delete_cb(uv_handle_t* handle) { delete reinterpret_cast<H*>(handle); }
  void operator()(H* handle) const {
    if (!handle) return;
    handle->data = nullptr;
    uv_close(reinterpret_cast<uv_handle_t*>(handle), delete_cb);
  }
};

using uv_timer_ptr = std::unique_ptr<uv_timer_t, uv_delete<uv_timer_s>>;
