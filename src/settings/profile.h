// A settings file used as a profile for a unit, taken exactly the way the
// form takes it: the form is set up, the file applied as at start-up, and
// the result encoded as Set encodes it. And back: a record shown in a fresh
// form and saved as a first close of the form saves it.
#ifndef DTU_SETTINGS_PROFILE_H
#define DTU_SETTINGS_PROFILE_H

#include <cstddef>
#include <string_view>

#include "form/memory_form.h"
#include "form/seams.h"
#include "protocol/config_image.h"
#include "settings/settings_store.h"

enum class ProfileKind {
  Empty,      // nothing but blanks: every key takes its default
  Settings,   // holds at least one of the form's sections
  Binary,     // holds NUL bytes: not a text file
  NoSection,  // text, but none of the form's sections: some other file
};
ProfileKind ClassifyProfile(const char* data, std::size_t size);
// "DTU NET", "DTU COM" or "DTU IO", in any case.
bool IsFormSection(std::string_view name);

// Loads the profile into form (which must be fresh) and encodes it into
// record. False when one of the form's checks refused the input: boxes was
// shown why, and record must not be sent.
bool ProfileToRecord(SettingsStore& profile, MessageBoxes& boxes, MemoryForm& form,
                     ConfigImage& record);
// Writes the settings a form shows after reading record into out, which
// should start empty to get the layout of a first save.
void RecordToProfile(const ConfigImage& record, SettingsStore& out);
// The form as it shows record after a Read.
void ShowRecord(const ConfigImage& record, MemoryForm& form);

#endif
