#include "model/state_variable.h"

#include <utility>

namespace upnp {

StateVariable::StateVariable(bool sendEvents, VariableKind kind) : sendEvents(sendEvents), kind(kind) {}

StateVariable::StateVariable(std::vector<std::string> allowedValues, bool sendEvents)
    : sendEvents(sendEvents), kind(VariableKind::STRING), allowedValues(std::move(allowedValues)) {}

bool StateVariable::getValue(std::string& out) const {
  if (!hasValue) return false;
  out = provider ? provider() : value;
  return true;
}

void StateVariable::setValue(std::string text) {
  hasValue = true;
  provider = nullptr;
  value = std::move(text);
}

void StateVariable::setProvider(ValueProvider newProvider) {
  provider = std::move(newProvider);
  hasValue = true;
}

}  // namespace upnp
