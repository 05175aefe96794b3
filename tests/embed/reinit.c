/* Starts and finalises the interpreter twice in one process; each time imports
   velbrook and checks the call edges of a small C source. */
#include <Python.h>
#include <stdio.h>

static const char CHECK[] =
    "import velbrook\n"
    "edges = velbrook.call_edges('c', 'void f(void) { g(); }')\n"
    "found = [(type(e).__name__, e.caller, e.callee, e.is_external) for e in edges]\n"
    "assert found == [('CallEdge', 'f', 'g', True)], found\n";

int main(void) {
  for (int round = 1; round <= 2; ++round) {
    Py_Initialize();
    if (PyRun_SimpleString(CHECK) != 0) {
      fprintf(stderr, "reinit: round %d: the check failed\n", round);
      return 1;
    }
    if (Py_FinalizeEx() < 0) {
      fprintf(stderr, "reinit: round %d: finalising failed\n", round);
      return 1;
    }
  }
  puts("reinit: ok");
  return 0;
}
