// Runs the due-today table on the Windows build, under Wine, in the zone the
// machine is in:
//
//   due_today_table TEMPLATE_DB WORK_FOLDER ZONE
//
// runs the cases whose zone is ZONE (the IANA name Wine was started with) and
// prints "ok NAME" or "FAIL NAME" and the differences for each, then
// "cases: N". Exit code 0 when every case holds, 1 when one fails, 2 on bad
// usage.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/due_today_table.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: due_today_table TEMPLATE_DB WORK_FOLDER ZONE\n");
    return 2;
  }
  // The C runtime reads TZ before the machine's zone, and Wine copies the
  // Unix TZ (an IANA name the runtime cannot read) into the environment.
  // Without it, local time follows the Windows zone rules, as for a user.
  _putenv("TZ=");
  int ran = 0, failed = 0;
  for (const auto& c : chimewell::testing_support::DueTodayCases()) {
    if (c.zone != argv[3]) continue;
    ++ran;
    const auto failures = chimewell::testing_support::CheckCase(c, argv[1], argv[2]);
    std::printf("%s %s\n", failures.empty() ? "ok" : "FAIL", c.name.c_str());
    for (const std::string& failure : failures) std::printf("  %s\n", failure.c_str());
    if (!failures.empty()) ++failed;
  }
  std::printf("cases: %d\n", ran);
  return failed == 0 && ran > 0 ? 0 : 1;
}
