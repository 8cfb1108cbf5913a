#pragma once
// Stand-in: the types the product uses of it are in the stand-in iphlpapi.h.
