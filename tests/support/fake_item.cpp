#include "fake_item.h"

namespace vesk::test {
IMPLEMENT_DYNCREATE(FakeItem, CObject)
}
