#include "platform/routerd/paged_list.h"

#include "platform/routerd/router_protocol.h"

namespace routerd {

bus::message PagedList::reply(const bus::message& request, size_t total,
                              const std::function<bus::message(size_t)>& item) {
  bus::message out;
  out.setU32(kFieldListTotal, static_cast<uint32_t>(total));
  size_t index = request.getU32(kFieldListFirst, 0);
  size_t bytes = 0;
  uint32_t n = 0;
  while (index < total && n < kPageItems && bytes < kPageBytes) {
    bus::message one = item(index);
    bytes += one.encode().size();
    out.setMessage(++n, one);
    ++index;
  }
  if (index < total) out.setU32(kFieldListNext, static_cast<uint32_t>(index));
  return out;
}

}  // namespace routerd
