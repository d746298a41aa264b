#include "office/libreoffice/word_objects.h"

namespace office::libreoffice {

namespace {

// Which text of a document a range stands for: a story (0, the main text,
// is served by the document's own search), or one shape of a header's or
// footer's story.
struct StoryTarget {
  std::size_t story = 0;
  std::optional<std::size_t> shape;
};

WordStories& storiesOf(OpenDocument& document) {
  if (!document.stories) {
    document.stories = std::make_shared<WordStories>(
        document.component, mayHoldTrackedDeletions(document.path, storedFormat(document.filter)));
  }
  return *document.stories;
}

void noteReplaced(OpenDocument& document) {
  Session::noteReplaced(document);
  storiesOf(document).textChanged();
}

// What a range's Find found last, for the range's Text and Collapse.
struct FoundState {
  Reference<css::container::XIndexAccess> all;  // the main text's, when it is all there is
  std::vector<Reference<css::text::XTextRange>> list;
  Reference<css::text::XTextRange> current;
};

class FindObject : public LoObject {
 public:
  FindObject(SessionPtr s, DocumentPtr d, StoryTarget t, std::shared_ptr<FoundState> state)
      : LoObject(std::move(s)), doc_(std::move(d)), target_(t), state_(std::move(state)) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (!sameName(member, "Execute")) unknownMember();
    const std::string text = required(args, 0, "FindText").toText();
    const bool caseSensitive = flag(args, 1, "MatchCase");
    const Variant* replace = argument(args, 10, "Replace");
    const auto mode = replace == nullptr ? 0 : replace->toInteger();
    if (!replaceable_.is()) replaceable_.set(doc_->component, UNO_QUERY_THROW);
    if (mode == 0) return findNext(text, caseSensitive);
    const Variant* with = argument(args, 9, "ReplaceWith");
    const std::string replacement = with == nullptr ? std::string() : with->toText();
    if (mode != 2) throw AutomationError(kErrFailed, "不支持的替换方式");
    if (!isMain()) {
      bool any = false;
      for (const StoryText& story : texts()) {
        const auto found =
            storiesOf(*doc_).withoutDeleted(occurrencesIn(story, text, caseSensitive));
        replaceOccurrences(found, replacement);
        any = any || !found.empty();
      }
      if (any) noteReplaced(*doc_);
      return any;
    }
    if (searchServesAll()) {
      if (replaceIn(*doc_, replaceable_, text, replacement, caseSensitive) > 0) {
        noteReplaced(*doc_);
        return true;
      }
      requireNothingLeft(findIn(*doc_, replaceable_, text, caseSensitive));
      return false;
    }
    // The document's search reaches every story: only the main text's
    // occurrences are replaced here, each where it was found.
    const auto found = mainOccurrences(text, caseSensitive);
    replaceOccurrences(found, replacement);
    if (found.empty()) return false;
    noteReplaced(*doc_);
    return true;
  }

 private:
  bool isMain() const { return target_.story == 0 && !target_.shape; }
  // Whether the document's own search finds just what the main story holds.
  bool searchServesAll() { return storiesOf(*doc_).mainOnly() && !storiesOf(*doc_).hasDeletions(); }

  std::vector<StoryText> texts() {
    const Story& story = storiesOf(*doc_).at(target_.story);
    if (target_.shape) return {story.shapes.at(*target_.shape)};
    return story.texts;
  }

  Reference<css::text::XText> body() {
    if (!body_.is()) {
      body_ = Reference<css::text::XTextDocument>(doc_->component, UNO_QUERY_THROW)->getText();
    }
    return body_;
  }

  std::vector<Reference<css::text::XTextRange>> mainOccurrences(const std::string& text,
                                                                bool caseSensitive) {
    std::vector<Reference<css::text::XTextRange>> found;
    const auto& descriptor =
        descriptorFor(*doc_, replaceable_, text, doc_->search.with, caseSensitive, false);
    const auto all =
        replaceable_->findAll(Reference<css::util::XSearchDescriptor>(descriptor.get()));
    for (sal_Int32 i = 0; all.is() && i < all->getCount(); ++i) {
      Reference<css::text::XTextRange> range(all->getByIndex(i), UNO_QUERY_THROW);
      if (inMainText(body(), range)) found.push_back(range);
    }
    return storiesOf(*doc_).withoutDeleted(std::move(found));
  }

  // Finds on one Find object move on from one occurrence to the next, as a
  // Word range does, and stop at the last. A single test costs one search;
  // a loop asks the office once for all occurrences.
  bool findNext(const std::string& text, bool caseSensitive) {
    if (text != loop_.text || caseSensitive != loop_.matchCase) {
      loop_ = Loop{text, caseSensitive, 0, std::nullopt};
      *state_ = FoundState{};
    }
    if (loop_.found == 0 && isMain() && !storiesOf(*doc_).hasDeletions()) {
      // The document's search reads the main text first: a first occurrence
      // elsewhere means none in it.
      const auto first = firstFound(*doc_, replaceable_, text, caseSensitive);
      Reference<css::text::XTextRange> range(first, UNO_QUERY);
      if (!range.is() || !inMainText(body(), range)) return false;
      loop_.found = 1;
      state_->current = range;
      return true;
    }
    if (!loop_.total) {
      if (!isMain()) {
        for (const StoryText& story : texts()) {
          const auto found =
              storiesOf(*doc_).withoutDeleted(occurrencesIn(story, text, caseSensitive));
          state_->list.insert(state_->list.end(), found.begin(), found.end());
        }
        loop_.total = static_cast<sal_Int32>(state_->list.size());
      } else if (searchServesAll()) {
        const auto& descriptor =
            descriptorFor(*doc_, replaceable_, text, doc_->search.with, caseSensitive, false);
        state_->all =
            replaceable_->findAll(Reference<css::util::XSearchDescriptor>(descriptor.get()));
        loop_.total = state_->all.is() ? state_->all->getCount() : 0;
      } else {
        state_->list = mainOccurrences(text, caseSensitive);
        loop_.total = static_cast<sal_Int32>(state_->list.size());
      }
    }
    if (loop_.found >= *loop_.total) return false;
    ++loop_.found;
    state_->current.clear();
    return true;
  }

  struct Loop {
    std::string text;
    bool matchCase = false;
    sal_Int32 found = 0;
    std::optional<sal_Int32> total;
  };
  DocumentPtr doc_;
  StoryTarget target_;
  std::shared_ptr<FoundState> state_;
  Reference<css::util::XReplaceable> replaceable_;
  Reference<css::text::XText> body_;
  Loop loop_;

  friend class RangeObject;
  // The occurrence the last find stopped at, looked up only when asked for.
  Reference<css::text::XTextRange> current() const {
    if (state_->current.is() || loop_.found == 0) return state_->current;
    const auto at = loop_.found - 1;
    if (!state_->list.empty()) return state_->list.at(static_cast<std::size_t>(at));
    if (state_->all.is())
      return Reference<css::text::XTextRange>(state_->all->getByIndex(at), UNO_QUERY);
    return nullptr;
  }
};

// The shapes with text anchored in a header or footer: Count, Item(i), and
// each one's TextFrame (HasText, TextRange).
class ShapeRangeObject : public LoObject {
 public:
  ShapeRangeObject(SessionPtr s, DocumentPtr d, std::size_t story)
      : LoObject(std::move(s)), doc_(std::move(d)), story_(story), level_(0) {}
  ShapeRangeObject(SessionPtr s, DocumentPtr d, std::size_t story, std::size_t shape, int level)
      : LoObject(std::move(s)), doc_(std::move(d)), story_(story), shape_(shape), level_(level) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override;

 private:
  DocumentPtr doc_;
  std::size_t story_;
  std::size_t shape_ = 0;
  int level_;  // 0 the shapes, 1 one shape, 2 its text frame
};

// A story's range (Word's Content, StoryRanges.Item, Duplicate, NextStoryRange,
// a header shape's TextFrame.TextRange).
class RangeObject : public LoObject {
 public:
  RangeObject(SessionPtr s, DocumentPtr d, StoryTarget t = {})
      : LoObject(std::move(s)), doc_(std::move(d)), target_(t) {}
  Variant answer(std::string_view member, CallKind kind, const Arguments& args) override {
    if (sameName(member, "Find")) {
      find_ = std::make_shared<FindObject>(session_, doc_, target_, state_);
      return Object(find_);
    }
    if (sameName(member, "Duplicate")) return make<RangeObject>(doc_, target_);
    if (sameName(member, "StoryType")) {
      return static_cast<std::int32_t>(storiesOf(*doc_).at(target_.story).kind);
    }
    if (sameName(member, "NextStoryRange")) {
      if (target_.shape) return {};
      const auto next = storiesOf(*doc_).next(target_.story);
      return next ? Variant(make<RangeObject>(doc_, StoryTarget{*next, std::nullopt})) : Variant();
    }
    if (sameName(member, "ShapeRange")) return make<ShapeRangeObject>(doc_, target_.story);
    if (sameName(member, "Collapse")) {
      // Empty at the occurrence's end: the next find goes on after it.
      state_->current.clear();
      if (find_) find_->state_->current.clear();
      return {};
    }
    if (member.empty() || sameName(member, "Text")) {
      if (kind == CallKind::Put) {
        putText(required(args, 0, "Text").toText());
        return {};
      }
      std::string all;
      for (const auto& text : texts()) all += toUtf8(text->getString());
      return all;
    }
    unknownMember();
  }

 private:
  std::vector<Reference<css::text::XText>> texts() {
    if (target_.story == 0 && !target_.shape) {
      return {Reference<css::text::XTextDocument>(doc_->component, UNO_QUERY_THROW)->getText()};
    }
    const Story& story = storiesOf(*doc_).at(target_.story);
    std::vector<Reference<css::text::XText>> all;
    if (target_.shape) return {story.shapes.at(*target_.shape).text};
    for (const StoryText& text : story.texts) all.push_back(text.text);
    return all;
  }

  // Sets the occurrence the last find stopped at, else the whole story.
  void putText(const std::string& value) {
    const auto found = find_ ? find_->current() : nullptr;
    if (found.is()) {
      found->setString(toOUString(value));
    } else {
      const auto all = texts();
      for (std::size_t i = 0; i < all.size(); ++i) {
        all[i]->setString(i == 0 ? toOUString(value) : OUString());
      }
    }
    noteReplaced(*doc_);
  }

  DocumentPtr doc_;
  StoryTarget target_;
  std::shared_ptr<FoundState> state_ = std::make_shared<FoundState>();
  std::shared_ptr<FindObject> find_;
};

Variant ShapeRangeObject::answer(std::string_view member, CallKind, const Arguments& args) {
  const auto& shapes = storiesOf(*doc_).at(story_).shapes;
  if (level_ == 0 && sameName(member, "Count")) return static_cast<std::int32_t>(shapes.size());
  if (level_ == 0 && (member.empty() || sameName(member, "Item"))) {
    const auto n = required(args, 0, "Index").toInteger();
    if (n < 1 || n > static_cast<std::int64_t>(shapes.size())) throw noSuchMember();
    return make<ShapeRangeObject>(doc_, story_, static_cast<std::size_t>(n - 1), 1);
  }
  if (level_ == 1 && sameName(member, "TextFrame")) {
    return make<ShapeRangeObject>(doc_, story_, shape_, 2);
  }
  if (level_ == 2 && sameName(member, "HasText")) {
    const StoryText& text = shapes.at(shape_);
    return text.drawing || !text.text->getString().isEmpty();
  }
  if (level_ == 2 && sameName(member, "TextRange")) {
    return make<RangeObject>(doc_, StoryTarget{story_, shape_});
  }
  unknownMember();
}

// StoryRanges: Item(kind) is the first story of that kind.
class StoryRangesObject : public LoObject {
 public:
  StoryRangesObject(SessionPtr s, DocumentPtr d) : LoObject(std::move(s)), doc_(std::move(d)) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (!member.empty() && !sameName(member, "Item")) unknownMember();
    const auto kind = required(args, 0, "Index").toInteger();
    const auto story = storiesOf(*doc_).first(static_cast<int>(kind));
    if (!story) throw noSuchMember();
    return make<RangeObject>(doc_, StoryTarget{*story, std::nullopt});
  }

 private:
  DocumentPtr doc_;
};

// Sections.Item(1).Headers.Item(1).Range (or Footers): the first page style's
// primary header (footer). Each step is one level of this object.
class SectionsObject : public LoObject {
 public:
  SectionsObject(SessionPtr s, DocumentPtr d, int level = 0, int kind = kPrimaryHeaderStory)
      : LoObject(std::move(s)), doc_(std::move(d)), level_(level), kind_(kind) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    const bool item = member.empty() || sameName(member, "Item");
    if ((level_ == 0 || level_ == 2) && item) {
      if (required(args, 0, "Index").toInteger() != 1) throw noSuchMember();
      return make<SectionsObject>(doc_, level_ + 1, kind_);
    }
    if (level_ == 1 && (sameName(member, "Headers") || sameName(member, "Footers"))) {
      return make<SectionsObject>(
          doc_, 2, sameName(member, "Headers") ? kPrimaryHeaderStory : kPrimaryFooterStory);
    }
    if (level_ == 3 && sameName(member, "Range")) {
      const auto story = storiesOf(*doc_).first(kind_);
      if (!story) throw noSuchMember();
      return make<RangeObject>(doc_, StoryTarget{*story, std::nullopt});
    }
    unknownMember();
  }

 private:
  DocumentPtr doc_;
  int level_;  // 0 Sections, 1 a section, 2 its headers (footers), 3 one of them
  int kind_;
};

class DocumentObject : public OpenFileObject {
 public:
  using OpenFileObject::OpenFileObject;
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Content")) return make<RangeObject>(doc_);
    if (sameName(member, "StoryRanges")) return make<StoryRangesObject>(doc_);
    if (sameName(member, "Sections")) return make<SectionsObject>(doc_);
    return fileMember(member, args);
  }
};

class DocumentsObject : public LoObject {
 public:
  using LoObject::LoObject;
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    // The runs' named arguments (no conversion dialog, not read-only, a
    // password nobody uses, out of the recent list) ask what this server
    // always does: it loads for writing, never lists a file, and answers
    // every question of the office, a password prompt too, with "abort".
    if (sameName(member, "Open")) {
      return make<DocumentObject>(session_->open(required(args, 0, "FileName").toText(), false));
    }
    if (sameName(member, "Close")) {
      session_->closeAll(false, flag(args, 0, "SaveChanges"));
      return {};
    }
    unknownMember();
  }
};

}  // namespace

Object documentsObject(const SessionPtr& session) {
  return Object(std::make_shared<DocumentsObject>(session));
}

Object documentObject(const SessionPtr& session, const DocumentPtr& document) {
  return Object(std::make_shared<DocumentObject>(session, document));
}

}  // namespace office::libreoffice
