#include "office/libreoffice/word_stories.h"

#include <algorithm>
#include <map>

#include <com/sun/star/beans/XMultiPropertySet.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/document/XRedlinesSupplier.hpp>
#include <com/sun/star/drawing/XDrawPageSupplier.hpp>
#include <com/sun/star/drawing/XShapes.hpp>
#include <com/sun/star/lang/IllegalArgumentException.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/style/XStyle.hpp>
#include <com/sun/star/style/XStyleFamiliesSupplier.hpp>
#include <com/sun/star/text/XEndnotesSupplier.hpp>
#include <com/sun/star/text/XFootnotesSupplier.hpp>
#include <com/sun/star/text/XTextContent.hpp>
#include <com/sun/star/text/XTextCursor.hpp>
#include <com/sun/star/text/XTextDocument.hpp>
#include <com/sun/star/text/XTextRangeCompare.hpp>
#include <com/sun/star/text/XTextTable.hpp>

#include "office/libreoffice/uno_text.h"
#include "text/letter_case.h"

namespace office::libreoffice {

using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using TextRanges = std::vector<Reference<css::text::XTextRange>>;

namespace {

// The code points of a text, folded unless matchCase.
std::u32string codePoints(const OUString& text, bool matchCase) {
  std::u32string points;
  for (sal_Int32 at = 0; at < text.getLength();) {
    const auto c = static_cast<char32_t>(text.iterateCodePoints(&at));
    points.push_back(matchCase ? c : text::foldedLetter(c));
  }
  return points;
}

// Moves a cursor right by count positions (the office takes at most 32767 at
// a time).
void goRight(const Reference<css::text::XTextCursor>& cursor, std::size_t count, bool expand) {
  do {
    const auto step = static_cast<sal_Int16>(std::min<std::size_t>(count, 0x7FFF));
    cursor->goRight(step, expand);
    count -= static_cast<std::size_t>(step);
  } while (count > 0);
}

// A paragraph's stretch of plain text between two things that are not text
// (a field, a note's mark, a frame anchored as a character): where a literal
// search can match.
class TextRun {
 public:
  TextRun(const StoryText& story, Reference<css::text::XText> text, const std::u32string& needle,
          bool matchCase, TextRanges& found)
      : story_(story),
        text_(std::move(text)),
        needle_(needle),
        matchCase_(matchCase),
        found_(found) {}

  void add(const Reference<css::text::XTextRange>& portion, const OUString& text) {
    pieces_.push_back({portion, joined_.size()});
    const std::u32string points = codePoints(text, true);
    joined_ += points;
    folded_ += matchCase_ ? points : codePoints(text, false);
  }

  // The occurrences in the run, left to right, none overlapping another.
  void end() {
    for (std::size_t at = folded_.find(needle_); at != std::u32string::npos;
         at = folded_.find(needle_, at + needle_.size())) {
      std::size_t piece = pieces_.size() - 1;
      while (pieces_[piece].start > at) --piece;
      auto cursor = text_->createTextCursorByRange(pieces_[piece].portion);
      cursor->collapseToStart();
      const std::size_t from = pieces_[piece].start;
      if (at > from) goRight(cursor, positions(from, at), false);
      goRight(cursor, positions(at, at + needle_.size()), true);
      found_.push_back(Reference<css::text::XTextRange>(cursor, UNO_QUERY_THROW));
    }
    pieces_.clear();
    joined_.clear();
    folded_.clear();
  }

 private:
  // The cursor positions between two code points of the run.
  std::size_t positions(std::size_t from, std::size_t to) const {
    if (!story_.drawing) return to - from;
    std::size_t units = 0;
    for (std::size_t i = from; i < to; ++i) units += joined_[i] > 0xFFFF ? 2 : 1;
    return units;
  }

  struct Piece {
    Reference<css::text::XTextRange> portion;
    std::size_t start;
  };
  const StoryText& story_;
  Reference<css::text::XText> text_;
  const std::u32string& needle_;
  bool matchCase_;
  TextRanges& found_;
  std::vector<Piece> pieces_;
  std::u32string joined_;
  std::u32string folded_;
};

// Portions that hold no character of their own: a search reads across them.
bool markOnly(const OUString& type) {
  return type == "Bookmark" || type == "Redline" || type == "ReferenceMark" ||
         type == "DocumentIndexMark" || type == "SoftPageBreak";
}

void searchText(const StoryText& story, const Reference<css::text::XText>& text,
                const std::u32string& needle, bool matchCase, TextRanges& found) {
  auto paragraphs =
      Reference<css::container::XEnumerationAccess>(text, UNO_QUERY_THROW)->createEnumeration();
  while (paragraphs->hasMoreElements()) {
    const Any element = paragraphs->nextElement();
    Reference<css::container::XEnumerationAccess> paragraph(element, UNO_QUERY);
    if (!paragraph.is()) {
      // A table: each cell is a text of its own.
      Reference<css::text::XTextTable> table(element, UNO_QUERY);
      if (!table.is()) continue;
      for (const OUString& name : table->getCellNames()) {
        Reference<css::text::XText> cell(table->getCellByName(name), UNO_QUERY);
        if (cell.is()) searchText(story, cell, needle, matchCase, found);
      }
      continue;
    }
    TextRun run(story, text, needle, matchCase, found);
    auto portions = paragraph->createEnumeration();
    while (portions->hasMoreElements()) {
      Reference<css::text::XTextRange> portion(portions->nextElement(), UNO_QUERY_THROW);
      OUString type;
      Reference<css::beans::XPropertySet>(portion, UNO_QUERY_THROW)
          ->getPropertyValue("TextPortionType") >>= type;
      const OUString content = portion->getString();
      if (type == "Text") {
        run.add(portion, content);
      } else if (!markOnly(type) || !content.isEmpty()) {
        run.end();
      }
    }
    run.end();
  }
}

bool sameObject(const Reference<css::uno::XInterface>& a,
                const Reference<css::uno::XInterface>& b) {
  return a.is() && a == b;
}

OUString implementationName(const Reference<css::uno::XInterface>& object) {
  Reference<css::lang::XServiceInfo> info(object, UNO_QUERY);
  return info.is() ? info->getImplementationName() : OUString();
}

}  // namespace

std::optional<std::size_t> WordStories::first(int kind) {
  const auto& stories = all();
  for (std::size_t i = 0; i < stories.size(); ++i) {
    if (stories[i].kind == kind) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> WordStories::next(std::size_t story) {
  const auto& stories = all();
  for (std::size_t i = story + 1; i < stories.size(); ++i) {
    if (stories[i].kind == stories.at(story).kind) return i;
  }
  return std::nullopt;
}

std::vector<Story>& WordStories::all() {
  if (stories_) return *stories_;
  building_ = {Story{}};
  headerTexts_.clear();
  hasDrawings_ = false;
  addNotes(kFootnotesStory,
           Reference<css::text::XFootnotesSupplier>(document_, UNO_QUERY_THROW)->getFootnotes());
  addNotes(kEndnotesStory,
           Reference<css::text::XEndnotesSupplier>(document_, UNO_QUERY_THROW)->getEndnotes());
  addHeadersAndFooters();
  addDrawings();
  stories_ = std::move(building_);
  return *stories_;
}

void WordStories::addNotes(int kind, const Reference<css::container::XIndexAccess>& notes) {
  const sal_Int32 count = notes.is() ? notes->getCount() : 0;
  if (count == 0) return;
  // Word keeps all of a document's footnotes (endnotes) in one story.
  Story story{kind, {}, {}};
  for (sal_Int32 i = 0; i < count; ++i) {
    story.texts.push_back({Reference<css::text::XText>(notes->getByIndex(i), UNO_QUERY_THROW)});
  }
  building_.push_back(std::move(story));
}

// A page style in use stands for Word's section: its header and footer are
// the primary ones, its left-page texts the even pages' where they are not
// shared, its first-page texts the first page's where it has its own.
void WordStories::addHeadersAndFooters() {
  Reference<css::container::XNameAccess> styles(
      Reference<css::style::XStyleFamiliesSupplier>(document_, UNO_QUERY_THROW)
          ->getStyleFamilies()
          ->getByName("PageStyles"),
      UNO_QUERY_THROW);
  struct PageStyle {
    OUString name;
    Reference<css::beans::XMultiPropertySet> properties;
    bool header = false, footer = false, headerShared = true, footerShared = true;
    bool firstShared = true;
  };
  // In use: set on a paragraph, or following one that is (a page style
  // whose first page differs may be followed by another for the rest). Only
  // those are asked about their headers: a document has many page styles.
  std::map<OUString, Reference<css::style::XStyle>> byName;
  std::vector<OUString> pending;
  for (const OUString& name : styles->getElementNames()) {
    Reference<css::style::XStyle> style(styles->getByName(name), UNO_QUERY_THROW);
    byName[name] = style;
    if (style->isInUse()) pending.push_back(name);
  }
  std::map<OUString, bool> used;
  for (const OUString& name : pending) used[name] = true;
  const OUString flagNames[] = {"HeaderIsOn",     "FooterIsOn",    "HeaderIsShared",
                                "FooterIsShared", "FirstIsShared", "FollowStyle"};
  const Sequence<OUString> flags(flagNames, 6);
  std::vector<PageStyle> withTexts;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    PageStyle style{pending[i],
                    Reference<css::beans::XMultiPropertySet>(byName[pending[i]], UNO_QUERY_THROW)};
    const Sequence<Any> values = style.properties->getPropertyValues(flags);
    values[0] >>= style.header;
    values[1] >>= style.footer;
    values[2] >>= style.headerShared;
    values[3] >>= style.footerShared;
    values[4] >>= style.firstShared;
    OUString follow;
    values[5] >>= follow;
    if (byName.count(follow) && !used[follow]) {
      used[follow] = true;
      pending.push_back(follow);
    }
    if (style.header || style.footer) withTexts.push_back(std::move(style));
  }
  if (withTexts.empty()) return;

  // The first page's style stands for section 1 (asked only when there is
  // more than one to order: most letters have one).
  if (withTexts.size() > 1) {
    OUString firstPage;
    auto body = Reference<css::text::XTextDocument>(document_, UNO_QUERY_THROW)->getText();
    Reference<css::beans::XPropertySet>(body->getStart(), UNO_QUERY_THROW)
        ->getPropertyValue("PageStyleName") >>= firstPage;
    std::stable_partition(withTexts.begin(), withTexts.end(),
                          [&](const PageStyle& s) { return s.name == firstPage; });
  }

  for (const PageStyle& style : withTexts) {
    std::vector<std::pair<int, OUString>> wanted;
    if (style.header) {
      wanted.emplace_back(kPrimaryHeaderStory, "HeaderText");
      if (!style.headerShared) wanted.emplace_back(kEvenPagesHeaderStory, "HeaderTextLeft");
      if (!style.firstShared) wanted.emplace_back(kFirstPageHeaderStory, "HeaderTextFirst");
    }
    if (style.footer) {
      wanted.emplace_back(kPrimaryFooterStory, "FooterText");
      if (!style.footerShared) wanted.emplace_back(kEvenPagesFooterStory, "FooterTextLeft");
      if (!style.firstShared) wanted.emplace_back(kFirstPageFooterStory, "FooterTextFirst");
    }
    Sequence<OUString> names(static_cast<sal_Int32>(wanted.size()));
    for (std::size_t i = 0; i < wanted.size(); ++i) names.getArray()[i] = wanted[i].second;
    const Sequence<Any> texts = style.properties->getPropertyValues(names);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      Reference<css::text::XText> text(texts[static_cast<sal_Int32>(i)], UNO_QUERY);
      if (!text.is()) continue;
      headerTexts_.emplace_back(text, building_.size());
      building_.push_back(Story{wanted[i].first, {{text}}, {}});
    }
  }
}

// Frames and shapes with text: a story each in the body (a chain of linked
// frames is one), or one of the shapes of the header or footer they are
// anchored in.
void WordStories::addDrawings() {
  // A text document has one draw page, which the office still hands out
  // through this interface (marked deprecated for documents with several).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Reference<css::container::XIndexAccess> page(
      Reference<css::drawing::XDrawPageSupplier>(document_, UNO_QUERY_THROW)->getDrawPage(),
      UNO_QUERY_THROW);
#pragma GCC diagnostic pop
  const sal_Int32 count = page->getCount();
  hasDrawings_ = count > 0;
  for (sal_Int32 i = 0; i < count; ++i) {
    const Reference<css::uno::XInterface> shape(page->getByIndex(i), UNO_QUERY);
    if (shape.is()) addShape(shape, shape);
  }
}

void WordStories::addShape(const Reference<css::uno::XInterface>& shape,
                           const Reference<css::uno::XInterface>& anchored) {
  const OUString kind = implementationName(shape);
  StoryText text;
  // A group, whatever its implementation's name (the text document's wrapper
  // of a drawing shape names every shape alike), stands for its members.
  if (Reference<css::drawing::XShapes> members(shape, UNO_QUERY); members.is()) {
    for (sal_Int32 i = 0; i < members->getCount(); ++i) {
      const Reference<css::uno::XInterface> member(members->getByIndex(i), UNO_QUERY);
      if (member.is()) addShape(member, anchored);
    }
    return;
  }
  if (kind == "SwXTextFrame") {
    text.text.set(shape, UNO_QUERY);
  } else {
    // A shape whose text Writer keeps in a frame of its own (as .docx text
    // boxes load) answers with that frame's text; any other shape with its
    // own text.
    Reference<css::beans::XPropertySet> properties(shape, UNO_QUERY);
    bool textBox = false;
    if (properties.is() && properties->getPropertySetInfo()->hasPropertyByName("TextBox")) {
      properties->getPropertyValue("TextBox") >>= textBox;
    }
    text.text.set(shape, UNO_QUERY);
    if (!text.text.is()) return;
    text.drawing = !textBox;
    if (text.drawing && text.text->getString().isEmpty()) return;
  }
  if (!text.text.is()) return;
  // The draw page may list a frame of a header twice.
  for (const Story& story : building_) {
    for (const auto& list : {story.texts, story.shapes}) {
      for (const StoryText& known : list) {
        if (sameObject(known.text, text.text)) return;
      }
    }
  }
  if (!text.drawing) {
    // A linked frame's text is the first frame's of its chain.
    OUString previous;
    Reference<css::beans::XPropertySet>(text.text, UNO_QUERY_THROW)
        ->getPropertyValue("ChainPrevName") >>= previous;
    if (!previous.isEmpty()) return;
  }
  Reference<css::text::XTextContent> content(anchored, UNO_QUERY);
  const auto anchor = content.is() ? content->getAnchor() : nullptr;
  const auto anchorText = anchor.is() ? anchor->getText() : nullptr;
  for (const auto& [header, story] : headerTexts_) {
    if (sameObject(header, anchorText)) {
      building_.at(story).shapes.push_back(text);
      return;
    }
  }
  building_.push_back(Story{kTextFrameStory, {text}, {}});
}

const std::vector<WordStories::Deletion>& WordStories::deletions() {
  if (std::exchange(textChanged_, false)) {
    if (!recordsChanges_) {
      bool recording = false;
      Reference<css::beans::XPropertySet>(document_, UNO_QUERY_THROW)
          ->getPropertyValue("RecordChanges") >>= recording;
      recordsChanges_ = recording;
    }
    if (*recordsChanges_) {
      deletions_.reset();
      askForDeletions_ = true;
    }
  }
  if (deletions_) return *deletions_;
  deletions_.emplace();
  if (!askForDeletions_) return *deletions_;
  Reference<css::document::XRedlinesSupplier> supplier(document_, UNO_QUERY);
  const auto redlines = supplier.is() ? supplier->getRedlines() : nullptr;
  if (!redlines.is() || !redlines->hasElements()) return *deletions_;
  const auto each = redlines->createEnumeration();
  while (each->hasMoreElements()) {
    Reference<css::beans::XPropertySet> redline(each->nextElement(), UNO_QUERY);
    OUString type;
    if (!redline.is() || !(redline->getPropertyValue("RedlineType") >>= type) || type != "Delete") {
      continue;
    }
    Deletion deletion;
    redline->getPropertyValue("RedlineStart") >>= deletion.from;
    redline->getPropertyValue("RedlineEnd") >>= deletion.to;
    if (!deletion.from.is() || !deletion.to.is()) continue;
    // The office gives a change's start and end as it keeps them: either way
    // round.
    try {
      Reference<css::text::XTextRangeCompare> compare(deletion.from->getText(), UNO_QUERY_THROW);
      if (compare->compareRegionStarts(deletion.from, deletion.to) < 0) {
        std::swap(deletion.from, deletion.to);
      }
    } catch (const css::lang::IllegalArgumentException&) {
      continue;
    }
    deletions_->push_back(std::move(deletion));
  }
  return *deletions_;
}

TextRanges WordStories::withoutDeleted(TextRanges found) {
  const auto& deleted = deletions();
  if (deleted.empty()) return found;
  std::erase_if(found, [&deleted](const Reference<css::text::XTextRange>& range) {
    Reference<css::text::XTextRangeCompare> compare(range->getText(), UNO_QUERY);
    if (!compare.is()) return false;
    for (const Deletion& deletion : deleted) {
      try {
        // A change in another text (a header, a cell) cannot be compared.
        if (compare->compareRegionStarts(deletion.from, range) >= 0 &&
            compare->compareRegionEnds(range, deletion.to) >= 0) {
          return true;
        }
      } catch (const css::lang::IllegalArgumentException&) {
      }
    }
    return false;
  });
  return found;
}

bool inMainText(const Reference<css::text::XText>& body,
                const Reference<css::text::XTextRange>& found) {
  const Reference<css::text::XText> text = found->getText();
  if (sameObject(text, body)) return true;
  if (implementationName(text) != "SwXCell") return false;
  // A table's cell is a text of its own, in the body or in any other story.
  try {
    Reference<css::text::XTextRangeCompare>(body, UNO_QUERY_THROW)
        ->compareRegionStarts(body->getStart(), found);
    return true;
  } catch (const css::lang::IllegalArgumentException&) {
    return false;
  }
}

TextRanges occurrencesIn(const StoryText& text, const std::string& what, bool matchCase) {
  TextRanges found;
  const std::u32string needle = codePoints(toOUString(what), matchCase);
  if (needle.empty()) return found;
  // The whole text at once first: most texts do not hold what.
  if (codePoints(text.text->getString(), matchCase).find(needle) == std::u32string::npos) {
    return found;
  }
  searchText(text, text.text, needle, matchCase, found);
  return found;
}

void replaceOccurrences(const TextRanges& found, const std::string& with) {
  const OUString replacement = toOUString(with);
  for (auto range = found.rbegin(); range != found.rend(); ++range) {
    (*range)->setString(replacement);
  }
}

}  // namespace office::libreoffice
