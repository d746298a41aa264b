// Word's objects on a text document: Documents, Document, its stories and
// ranges, Find, Sections and the shapes of headers and footers.
#pragma once

#include "office/libreoffice/session.h"

namespace office::libreoffice {

Object documentsObject(const SessionPtr& session);
Object documentObject(const SessionPtr& session, const DocumentPtr& document);

}  // namespace office::libreoffice
