#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace upnp {

// How the SOAP dispatcher checks a value for a variable (the UPnP data type).
enum class VariableKind : uint32_t {
  UI4 = 0,      // ui4: decimal u32
  UI2 = 1,      // ui2: decimal below 65536
  STRING = 2,   // string: one of allowedValues when that list is not empty
  BOOLEAN = 3,  // boolean: "1", "0", "true", "false", "yes", "no"
};

// Computes a variable's value on every read (counters, uptime).
using ValueProvider = std::function<std::string()>;

// One state variable of a service. Owned by its Service. A variable has no
// value until its first setValue or setProvider and never loses it again.
class StateVariable {
 public:
  StateVariable(bool sendEvents, VariableKind kind);
  // A STRING variable restricted to `allowedValues` (definition order).
  StateVariable(std::vector<std::string> allowedValues, bool sendEvents);
  StateVariable(const StateVariable&) = delete;
  StateVariable& operator=(const StateVariable&) = delete;

  // False (leaving `out` alone) when there is no value; otherwise stores the
  // provider's current result, or else the stored value, in `out`.
  bool getValue(std::string& out) const;
  // Stores `text` as the value; drops any provider for good.
  void setValue(std::string text);
  // Installs `provider`, which is called on every later getValue; gives the
  // variable a value.
  void setProvider(ValueProvider provider);

  bool sendEvents;         // changes go to subscribers; part of the initial event
  VariableKind kind;
  bool hasRange = false;   // minimum..maximum apply to UI4/UI2
  uint32_t minimum = 0;
  uint32_t maximum = 0;
  std::vector<std::string> allowedValues;  // empty: unrestricted
  bool hasValue = false;
  std::string value;       // the stored value; unused while a provider is installed
  ValueProvider provider;  // empty: none. Declared last so it is destroyed first.
};

}  // namespace upnp
