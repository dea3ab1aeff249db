#pragma once

#include <cstddef>
#include <functional>

#include "platform/message.h"

namespace routerd {

// Answers a paged list request (router_protocol.h): items from the request's
// kFieldListFirst on, nested under fields 1..n, at most kPageItems of them and
// well under the bus's message size limit; kFieldListTotal always, and
// kFieldListNext when items remain. `item(i)` gives item i, i < total.
class PagedList {
 public:
  static constexpr size_t kPageItems = 200;
  static constexpr size_t kPageBytes = 256 * 1024;

  static bus::message reply(const bus::message& request, size_t total,
                            const std::function<bus::message(size_t)>& item);
};

}  // namespace routerd
