#include "replace/document_stories.h"

#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace replace {

using office::AutomationError;
using office::Object;
using office::Variant;

namespace {

// Word's story types, in the order they are walked: footnotes, endnotes,
// text boxes, then the headers and footers (primary, even pages, first page).
// Comments are reviewers' notes, not the document's text: never asked.
constexpr std::array<std::int32_t, 9> kStoryTypes = {2, 3, 5, 7, 6, 10, 9, 8, 11};
constexpr std::int32_t kFirstHeaderOrFooter = 6;

std::string doubledCarets(const std::string& text) {
  std::string doubled;
  doubled.reserve(text.size());
  for (const char c : text) {
    doubled += c;
    if (c == '^') doubled += '^';
  }
  return doubled;
}

// The member's value, or nothing where the server answers one of the codes
// (a member it does not have, an item a collection does not hold).
std::optional<Variant> getUnless(const Object& object, std::string_view member,
                                 std::vector<Variant> arguments, std::int32_t code,
                                 std::int32_t otherCode = office::kErrNoSuchMember) {
  try {
    return object.get(member, std::move(arguments));
  } catch (const AutomationError& e) {
    if (e.code() != code && e.code() != otherCode) throw;
    return std::nullopt;
  }
}

std::optional<Variant> getIfAny(const Object& object, std::string_view member,
                                std::vector<Variant> arguments = {}) {
  return getUnless(object, member, std::move(arguments), office::kErrNoSuchMember);
}

// A story range: Nothing (or no object at all) ends a chain.
Object storyIn(const std::optional<Variant>& value) {
  if (!value || !value->isObject()) return Object();
  return value->toObject();
}

}  // namespace

std::size_t utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) == 0x80) continue;  // inside a character
    units += byte >= 0xF0 ? 2 : 1;        // past U+FFFF: a surrogate pair
  }
  return units;
}

FindTexts findTexts(const std::string& find, const std::string& replacement, bool literal) {
  FindTexts texts;
  texts.find = literal ? find : doubledCarets(find);
  texts.replacement = literal ? replacement : doubledCarets(replacement);
  texts.literalReplacement = replacement;
  texts.byOccurrence = !literal && utf16Length(texts.replacement) > kFindTextLimit;
  return texts;
}

bool findIsLiteral(const office::ServerRegistry& servers, ServerChoice choice) {
  for (const std::string_view progId :
       {choice.progId, choice.fallbackOn429, choice.textServer, choice.textFallbackOn429}) {
    if (!progId.empty() && !servers.traits(progId).findIsLiteral) return false;
  }
  return true;
}

std::string findTextRefusal(const office::ServerRegistry& servers, ServerChoice choice,
                            const std::string& findText) {
  if (findIsLiteral(servers, choice) || utf16Length(doubledCarets(findText)) <= kFindTextLimit) {
    return "";
  }
  const char* suite = office::sameName(choice.progId, "word.Application") ? "Word" : "WPS";
  return "查找内容超过 " + std::to_string(kFindTextLimit) + " 个字符，" + suite + " 无法查找";
}

void DocumentStories::forEach(const StoryVisit& visit) {
  if (noStoryRanges_) return;
  askForHeaders();
  for (const std::int32_t type : kStoryTypes) {
    Object first;
    try {
      first = storyIn(document_.get("StoryRanges").toObject().get("Item", {Variant(type)}));
    } catch (const AutomationError& e) {
      if (e.code() == office::kErrNoSuchItem) continue;  // the document has no story of this type
      if (e.code() != office::kErrNoSuchMember) throw;
      noStoryRanges_ = true;  // an older server: its main story is all it offers
      return;
    }
    visitChain(first, type >= kFirstHeaderOrFooter, visit);
  }
}

// Word lists a header or footer kind among the stories only once section 1's
// has text, or once a header's range has been asked for: asked here, so that
// a first-page footer with text in a later section only is reached too.
void DocumentStories::askForHeaders() {
  if (headersAsked_) return;
  headersAsked_ = true;
  const std::vector<std::pair<std::string_view, std::vector<Variant>>> steps = {
      {"Item", {Variant(std::int32_t{1})}},
      {"Headers", {}},
      {"Item", {Variant(std::int32_t{1})}},
      {"Range", {}},
  };
  std::optional<Variant> value = getUnless(document_, "Sections", {}, office::kErrNoSuchItem);
  for (const auto& [member, arguments] : steps) {
    if (!value || !value->isObject()) return;
    value = getUnless(value->toObject(), member, arguments, office::kErrNoSuchItem);
  }
}

void DocumentStories::visitChain(Object story, bool headerOrFooter, const StoryVisit& visit) {
  while (story) {
    if (const std::optional<Variant> range = getIfAny(story, "Duplicate")) {
      visit(range->toObject(), [story] { return story.get("Duplicate").toObject(); });
    }
    if (headerOrFooter) visitShapes(story, visit);
    story = storyIn(getIfAny(story, "NextStoryRange"));
  }
}

// Text boxes in a header or footer belong to no story of their own: they are
// reached through the shapes anchored in it.
void DocumentStories::visitShapes(const Object& story, const StoryVisit& visit) {
  const std::optional<Variant> shapes = getIfAny(story, "ShapeRange");
  if (!shapes) return;
  const std::optional<Variant> count = getIfAny(shapes->toObject(), "Count");
  if (!count) return;
  const std::int64_t n = count->toInteger();
  for (std::int64_t i = 1; i <= n; ++i) {
    // A picture, a canvas or a group may refuse to say whether it holds text
    // at all: a letterhead's logo must not fail its document.
    Object textFrame;
    try {
      textFrame = shapes->toObject()
                      .get("Item", {Variant(static_cast<std::int32_t>(i))})
                      .toObject()
                      .get("TextFrame")
                      .toObject();
      if (!textFrame.get("HasText").toBool()) continue;
    } catch (const AutomationError& e) {
      if (office::isServerGone(e.code())) throw;
      continue;
    }
    if (const std::optional<Variant> range = getIfAny(textFrame, "TextRange")) {
      visit(range->toObject(), [textFrame] { return textFrame.get("TextRange").toObject(); });
    }
  }
}

}  // namespace replace
