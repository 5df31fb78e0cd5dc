// The verbs of chimectl. Each takes the arguments after its name and returns
// the exit code; misuse throws UsageError.
#pragma once

#include "options.h"

namespace chimectl {

struct Verb {
  const char* name;
  const char* summary;
  const char* help;  // full usage text for `chimectl VERB --help`
  int (*run)(Arguments arguments);
};

int Listen(Arguments arguments);
int Send(Arguments arguments);
int TimeChange(Arguments arguments);
int Close(Arguments arguments);
int Run(Arguments arguments);
int Trace(Arguments arguments);

extern const Verb kVerbs[];
extern const std::size_t kVerbCount;

}  // namespace chimectl
