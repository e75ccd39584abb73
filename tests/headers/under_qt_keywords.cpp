// The window includes the libraries' headers after Qt's, which defines
// these words as macros; the headers must not use them as names.
#define slots
#define signals public
#define emit
#define foreach for

#include "engine/run_controller.h"
#include "http/http_send.h"
#include "xml/dom.h"
#include "xml/hash_table.h"
#include "xml/reader.h"
#include "xml/writer.h"
