// The extension registry of an office profile, kept per user and per
// installation once the office has built it. On a fresh profile the office
// syncs its bundled extensions and then exits to be started again (about half
// a second); a profile seeded with the kept registry starts at once.
#pragma once

#include <filesystem>

#include "office/libreoffice/office_process.h"

namespace office::libreoffice {

class ProfileTemplate {
 public:
  // The template for this installation in the user's cache folder
  // ($XDG_CACHE_HOME/ravelsk, else ~/.cache/ravelsk); unusable (every call a
  // no-op) when there is no cache folder of ours.
  explicit ProfileTemplate(const Installation& installation);

  // Copies the kept registry into profile/user; false when none is kept.
  bool seed(const std::filesystem::path& profile) const;
  // Keeps profile/user's registry, replacing the one kept: called once the
  // office has synced it and before it starts again.
  void keep(const std::filesystem::path& profile) const;
  // Forgets the kept registry (an office seeded with it would not start).
  void drop() const;

 private:
  std::filesystem::path folder_;  // empty: unusable
};

}  // namespace office::libreoffice
