// Started with --version it says nothing and keeps running (a minute at most).
#include <unistd.h>

int main() {
  for (int i = 0; i < 60; ++i) ::sleep(1);
  return 0;
}
