// Programs the import check must refuse, built as a careless build would make
// them; never run. Without MISSPELT_IMPORT: the C++ runtime as a DLL of the
// toolchain. With it: a function that kernel32.dll does not export.
#ifdef MISSPELT_IMPORT
extern "C" __declspec(dllimport) unsigned long GetTickCount65(void);
int main() { return static_cast<int>(GetTickCount65()); }
#else
#include <iostream>
int main(int argc, char**) {
  std::cout << argc << std::endl;
  return 0;
}
#endif
