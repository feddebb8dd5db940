#include "rules/actions.hpp"

#include <ostream>

namespace kelvarin {

std::ostream& operator<<(std::ostream& os, const Action& action) {
  struct Printer {
    std::ostream& os;
    void operator()(const Reply& r) const { os << "Reply(" << r.id << ", " << to_json_text(r.message) << ")"; }
    void operator()(const SendNative& s) const { os << "SendNative(" << to_json_text(s.message) << ")"; }
    void operator()(const CloseConnection& c) const { os << "CloseConnection(" << c.id << ")"; }
  };
  std::visit(Printer{os}, action);
  return os;
}

}  // namespace kelvarin
