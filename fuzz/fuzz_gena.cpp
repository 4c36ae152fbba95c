// The CALLBACK header of a SUBSCRIBE: the delivery URLs picked out of
// whatever text a control point sends, and the NOTIFY built for each.
#include "eventing/callback_urls.h"
#include "eventing/event_delivery.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const CallbackUrl& url : callback_urls(text)) {
        notify_request(url, 1, 2, "body");
    }
    return 0;
}
