// Windows: registry exports put into the system's registry by its own
// regedit, for tests that read them through the library. Each import first
// takes away what the previous one added, so a test sees only its own
// export over the system's keys (in a throwaway Wine prefix).
#pragma once

#include <string>
#include <vector>

namespace tavrin::test {

// The export (REGEDIT4 or Version 5.00, 8-bit or UTF-16) at a path of this
// machine. False with the reason when regedit did not take it.
bool ImportRegistryFile(const std::string& path, std::string& error);
// Several exports at once, in order; what the previous import added goes
// first, as above.
bool ImportRegistryFiles(const std::vector<std::string>& paths, std::string& error);
// The same for the text of an export.
bool ImportRegistryText(const std::string& text, std::string& error);
// Takes away what the last import added.
void RemoveImportedKeys();

}  // namespace tavrin::test
