#include "python_code.hpp"

namespace ombrix {

PendingWork pending_work = nullptr;
unsigned long long python_code_points = 0;

void set_before_python_code(PendingWork finish) { pending_work = finish; }

}  // namespace ombrix
