// Resource numbers shared by the resource script and the window's code.
#pragma once

#define IDI_RAVELSK 1
#define IDR_CONTACT 2
