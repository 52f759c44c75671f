/* Prints the version of the vanto_edit library it was linked with. */
#include <stdio.h>

#include <vanto_edit.h>

int main(void) {
  printf("vanto_edit %d.%d.%d %s\n", vanto_version_major(), vanto_version_minor(),
         vanto_version_patch(), vanto_libtype());
  return 0;
}
