#include "host/process_entry.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  chimewell::platform::RecordArguments(argc, argv);
  chimewell::platform::KeepFreedMemoryForReuse();
  return chimewell::host::RunProcess();
}
