// The string table: (id, text) entries sorted by id. Each subsystem keeps its
// messages in a block of its own below.
#include "platform/ktresources.h"

#include <algorithm>
#include <iterator>

namespace {

struct Entry {
  unsigned id;
  const char16_t* text;
};

constexpr Entry kTable[] = {
    // Placeholder entry used by the table's own tests.
    {1, u"Ostrel XSLT Processor"},
};

static_assert(std::is_sorted(std::begin(kTable), std::end(kTable),
                             [](const Entry& a, const Entry& b) { return a.id < b.id; }),
              "string table must stay sorted by id");

}  // namespace

const char16_t* KTFindStringResource(unsigned id) {
  auto it = std::lower_bound(std::begin(kTable), std::end(kTable), id,
                             [](const Entry& e, unsigned v) { return e.id < v; });
  return (it != std::end(kTable) && it->id == id) ? it->text : nullptr;
}

int KTLoadStringResource(unsigned id, char16_t* buffer, int bufferSize) {
  const char16_t* text = KTFindStringResource(id);
  if (!text || bufferSize <= 0) return 0;
  int n = 0;
  while (text[n] && n < bufferSize - 1) {
    buffer[n] = text[n];
    ++n;
  }
  buffer[n] = 0;
  return n;
}
