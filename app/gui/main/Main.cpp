#include "app/util/Log.h"

#include "app/gui/Application.h"

wxIMPLEMENT_APP(Kestrel::Application);
