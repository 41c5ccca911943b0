// The panel's settings file: 31 records, one control a line, in the working directory.
#pragma once

#include <string>

class TF_RDR1;

namespace settings {

// "KMV410" followed by L_Ver's caption: the version label names the file.
std::string file_name(const TF_RDR1& f);

enum class Restore { kNoFile, kComplete, kDamaged };

// Restore the records in order, with the attenuator and antenna positions that follow records
// 6, 7, 11 and 12. A damaged record is reported in a message box and ends the restore there;
// a well-formed value that the panel cannot take falls back to the control's design value.
Restore restore(TF_RDR1& f);

// Write the 31 records; a failure is reported in a message box.
bool save(const TF_RDR1& f);

// The same on the file's text: what restore applies from `content` (a file called `name`),
// returning the error of a damaged record or "" when every record was taken; and the text that
// save writes.
std::string restore_text(TF_RDR1& f, const std::string& content, const std::string& name);
std::string text_of(const TF_RDR1& f);

}  // namespace settings
