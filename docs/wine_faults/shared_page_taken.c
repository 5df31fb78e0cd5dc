// Puts a Unix mapping on the page where Wine places the shared user data
// (0x7ffe0000), as the loader's randomly placed heap does now and then, in the
// processes whose command line contains $TAKE_SHARED_PAGE (every process when empty).
// Build: gcc -shared -fPIC -o shared_page_taken.so shared_page_taken.c
// Run (from the repository, after scripts/setup.sh windows):
//   source scripts/wine_env.sh
//   TAKE_SHARED_PAGE=reg.exe LD_PRELOAD=$PWD/shared_page_taken.so wine reg add 'HKCU\x' /f
// prints "ShellExecuteEx failed: Internal error."; with `setarch -R` before
// `wine` and without the preload it never does.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

__attribute__((constructor)) static void block_shared_user_data(void) {
  const char* want = getenv("TAKE_SHARED_PAGE");
  if (want == NULL) return;
  char line[4096] = {0};
  const int fd = open("/proc/self/cmdline", O_RDONLY);
  if (fd < 0) return;
  const ssize_t n = read(fd, line, sizeof line - 1);
  close(fd);
  for (ssize_t i = 0; i < n; ++i) {
    if (line[i] == '\0') line[i] = ' ';
  }
  if (*want != '\0' && strstr(line, want) == NULL) return;
  mmap((void*)0x7ffe0000, 0x1000, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
}
