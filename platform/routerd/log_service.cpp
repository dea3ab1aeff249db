#include "platform/routerd/log_service.h"

#include "platform/routerd/paged_list.h"
#include "platform/routerd/router_protocol.h"
#include "platform/system.h"

namespace routerd {

bus::message LogService::handle(const bus::message& request) {
  switch (request.getU32(bus::kFieldCommand)) {
    case bus::kCmdLogLine:
      return cmdLogLine(request);
    case kCmdLogList:
      return PagedList::reply(request, mLines.size(), [&](size_t i) {
        bus::message item;
        item.setU32(kLogFieldTopic, mLines[i].topic);
        item.setString(kLogFieldText, mLines[i].text);
        item.setU32(kLogFieldSeq, mLines[i].seq);
        item.setU32(kLogFieldUptime, mLines[i].uptime);
        return item;
      });
    default:
      return bus::errorMsg(bus::kErrUnknownCommand, "unknown command");
  }
}

bus::message LogService::cmdLogLine(const bus::message& request) {
  const bus::Field* topic = request.find(kLogFieldTopic);
  const bus::Field* text = request.find(kLogFieldText);
  if (!topic || topic->type != bus::FieldType::U32 || !text || text->type != bus::FieldType::String) {
    return bus::errorMsg(bus::kErrBadRequest, "log line needs u32 1 (topic) and string 2 (text)");
  }
  Line line{mNextSeq++, static_cast<uint32_t>(topic->number), bus::getUptime(), text->bytes};
  if (line.text.size() > kMaxTextBytes) line.text.resize(kMaxTextBytes);
  // One line stays one line in routerd's output, whatever the sender put in it.
  for (char& c : line.text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (mTrace) *mTrace << "log topic " << line.topic << ": " << line.text << std::endl;
  mLines.push_back(std::move(line));
  while (mLines.size() > kMaxLines) mLines.pop_front();
  return {};
}

}  // namespace routerd
