// Every place a document holds text beyond its main story (footnotes,
// endnotes, text boxes, the headers and footers of every section and the text
// boxes anchored in them), reached as a careful Word macro reaches them; and
// the texts a server's Find is given.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "office/automation.h"
#include "replace/batch_server.h"

namespace replace {

// Word and WPS refuse a FindText or a ReplaceWith longer than this (error
// 5854), counted in UTF-16 code units.
inline constexpr std::size_t kFindTextLimit = 255;

std::size_t utf16Length(std::string_view utf8);

// One pair as a server's Find takes it. Word and WPS read '^' as the start of
// a special code, so a user's '^' goes as "^^"; a literal server gets the
// texts as they are.
struct FindTexts {
  std::string find;
  std::string replacement;
  std::string literalReplacement;  // what a found range's Text is set to
  // The replacement is too long for the server's ReplaceWith: each
  // occurrence is found and its range's Text set.
  bool byOccurrence = false;
  bool matchCase = false;  // letter case must match
};
FindTexts findTexts(const std::string& find, const std::string& replacement, bool literal);

// Whether every server the choice may use takes Find texts literally.
bool findIsLiteral(const office::ServerRegistry& servers, ServerChoice choice);

// "查找内容超过 255 个字符，Word 无法查找" when the find text is too long for
// the servers of the choice, else "".
std::string findTextRefusal(const office::ServerRegistry& servers, ServerChoice choice,
                            const std::string& findText);

// One place of text: range to test or count on, and again() a fresh range
// over the same place for the replacement (a tested range has moved onto
// what it found).
using StoryVisit =
    std::function<void(const office::Object& range, const std::function<office::Object()>& again)>;

class DocumentStories {
 public:
  explicit DocumentStories(office::Object document) : document_(std::move(document)) {}

  // Visits every place beyond the main story, in the order of Word's story
  // types. A member the server does not have ends that part of the walk
  // only: the places reached are visited, and that is no failure.
  void forEach(const StoryVisit& visit);

 private:
  void askForHeaders();
  void visitChain(office::Object story, bool headerOrFooter, const StoryVisit& visit);
  void visitShapes(const office::Object& story, const StoryVisit& visit);

  office::Object document_;
  bool headersAsked_ = false;
  bool noStoryRanges_ = false;
};

}  // namespace replace
