#include "events/CapturingAppender.h"

namespace testutil {
IMPLEMENT_LOG4CXX_OBJECT(CapturingAppender)
}
