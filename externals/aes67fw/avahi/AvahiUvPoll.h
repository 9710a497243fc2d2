// An AvahiPoll on a libuv loop: the Avahi client's sockets and timeouts are served by the loop that runs
// everything else, so no thread of Avahi's own is needed.
#pragma once

#include <avahi-common/watch.h>
#include <uv.h>

struct TAvahiUvPoll {
  AvahiPoll poll_api; // userdata points back to this adapter
  uv_loop_t* uv_loop;
};

// Null when out of memory. Watches and timeouts release their memory in libuv close callbacks, so the
// loop must run once more after the client using them is freed.
TAvahiUvPoll* avahi_uv_poll_new(uv_loop_t* loop);
void avahi_uv_poll_free(TAvahiUvPoll* poll);
