// A text document's parts as Word's stories: the main text, the footnotes, the
// endnotes, the text boxes of the body, and each used page style's headers and
// footers with the shapes anchored in them. The office's own document search
// reaches only what its layout shows (a header of a page style no page uses
// yet is skipped) and never a drawing shape's text, so every story but the main
// one is searched here, paragraph by paragraph.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/text/XTextRange.hpp>

namespace office::libreoffice {

// Word's story types, as a caller of StoryRanges names them.
inline constexpr int kMainTextStory = 1;
inline constexpr int kFootnotesStory = 2;
inline constexpr int kEndnotesStory = 3;
inline constexpr int kTextFrameStory = 5;
inline constexpr int kEvenPagesHeaderStory = 6;
inline constexpr int kPrimaryHeaderStory = 7;
inline constexpr int kEvenPagesFooterStory = 8;
inline constexpr int kPrimaryFooterStory = 9;
inline constexpr int kFirstPageHeaderStory = 10;
inline constexpr int kFirstPageFooterStory = 11;

// One text searched on its own: a Writer text (a header, a footnote, a text
// frame and every frame linked after it) or a drawing shape's own text.
struct StoryText {
  css::uno::Reference<css::text::XText> text;
  // A drawing shape's text counts its positions in UTF-16 units, a Writer
  // text in characters.
  bool drawing = false;
};

struct Story {
  int kind = kMainTextStory;
  std::vector<StoryText> texts;   // none for the main story: the document's search serves it
  std::vector<StoryText> shapes;  // a header's or footer's shapes that hold text
};

// The stories of one document, looked up on first use and kept while it is
// open: the run asks for each kind of every document.
class WordStories {
 public:
  // fileMayHoldDeletions: false when the loaded file is known to hold no
  // tracked deletions.
  WordStories(css::uno::Reference<css::lang::XComponent> document, bool fileMayHoldDeletions)
      : document_(std::move(document)), askForDeletions_(fileMayHoldDeletions) {}

  // The first story of a kind, then the next of the same kind; nullopt when
  // there is none. The main story is always there.
  std::optional<std::size_t> first(int kind);
  std::optional<std::size_t> next(std::size_t story);
  const Story& at(std::size_t story) { return all().at(story); }
  // True when the main story is all the office's document search reaches:
  // no notes, frames, shapes, headers or footers.
  bool mainOnly() { return all().size() == 1 && !hasDrawings_; }

  // Text a tracked change deletes is no longer the document's: what is found
  // in it is neither counted nor replaced. Asked of the office once.
  bool hasDeletions() { return !deletions().empty(); }
  std::vector<css::uno::Reference<css::text::XTextRange>> withoutDeleted(
      std::vector<css::uno::Reference<css::text::XTextRange>> found);
  // After a replacement, which in a document that records changes deletes
  // the text it replaced.
  void textChanged() { textChanged_ = true; }

 private:
  struct Deletion {
    css::uno::Reference<css::text::XTextRange> from, to;
  };
  const std::vector<Deletion>& deletions();

  std::vector<Story>& all();
  void addNotes(int kind, const css::uno::Reference<css::container::XIndexAccess>& notes);
  void addHeadersAndFooters();
  void addDrawings();
  void addShape(const css::uno::Reference<css::uno::XInterface>& shape,
                const css::uno::Reference<css::uno::XInterface>& anchored);

  css::uno::Reference<css::lang::XComponent> document_;
  std::optional<std::vector<Story>> stories_;
  std::vector<Story> building_;
  // Each header's and footer's text with its story, for the shapes anchored in it.
  std::vector<std::pair<css::uno::Reference<css::text::XText>, std::size_t>> headerTexts_;
  bool hasDrawings_ = false;
  std::optional<std::vector<Deletion>> deletions_;
  bool askForDeletions_;
  bool textChanged_ = false;
  std::optional<bool> recordsChanges_;
};

// True when a range the document's search found lies in its main text (the
// body, its tables included).
bool inMainText(const css::uno::Reference<css::text::XText>& body,
                const css::uno::Reference<css::text::XTextRange>& found);

// Every occurrence of what in text, in order, each a range over it, found
// paragraph by paragraph as the office's literal search finds it (letter case
// ignored unless matchCase; never across a field, a note's mark or a
// paragraph's end).
std::vector<css::uno::Reference<css::text::XTextRange>> occurrencesIn(const StoryText& text,
                                                                      const std::string& what,
                                                                      bool matchCase);

// Puts with in place of every range, the last first: each stays where it was
// found, whatever the others' replacements hold.
void replaceOccurrences(const std::vector<css::uno::Reference<css::text::XTextRange>>& found,
                        const std::string& with);

}  // namespace office::libreoffice
