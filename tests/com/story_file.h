// How the test office keeps a document on its "disk" when the document has
// more than a main text: one record per story, each a label and the story's
// text. A file that does not begin with a record is a main text only (the
// older form, which every plain text file is). Tests write their documents
// and the files they expect with storyFile.
//
// Labels:
//   main                        the main text (body and tables)
//   footnotes, endnotes         all footnotes (endnotes) of the document, one story
//   textbox                     a text box story; a chain of linked boxes is one
//                               story, its boxes joined by kBoxBreak
//   header|footer primary|first|even N
//                               section N's header or footer of that kind
//   shape                       a text box anchored in the header or footer of the
//                               record before it, with its text
//   picture                     a shape there that holds no text
#pragma once

#include <string>
#include <vector>

namespace testoffice {

inline constexpr char kRecordStart = '\x1E';
inline constexpr char kTextStart = '\x1F';
inline constexpr char kBoxBreak = '\x1D';

struct StoryRecord {
  std::string label;
  std::string text;
  bool operator==(const StoryRecord&) const = default;
};

inline std::string storyFile(const std::vector<StoryRecord>& records) {
  std::string file;
  for (const StoryRecord& r : records) file += kRecordStart + r.label + kTextStart + r.text;
  return file;
}

inline std::vector<StoryRecord> storyRecords(const std::string& file) {
  if (file.empty() || file[0] != kRecordStart) return {{"main", file}};
  std::vector<StoryRecord> records;
  std::size_t at = 0;
  while (at < file.size()) {
    const std::size_t next = file.find(kRecordStart, at + 1);
    const std::string record =
        file.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    const std::size_t split = record.find(kTextStart);
    if (split == std::string::npos) {
      records.push_back({record, {}});
    } else {
      records.push_back({record.substr(0, split), record.substr(split + 1)});
    }
    at = next == std::string::npos ? file.size() : next;
  }
  return records;
}

// The boxes of a chain of linked text boxes, as one story's text.
inline std::string linkedBoxes(const std::vector<std::string>& boxes) {
  std::string text;
  for (const std::string& box : boxes) {
    if (!text.empty()) text += kBoxBreak;
    text += box;
  }
  return text;
}

}  // namespace testoffice
