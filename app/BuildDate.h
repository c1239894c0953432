// The build's own date and time as the Version page shows it: "16-Apr-2009 11:12"
// (day, English month abbreviation, year, hour and minute). A step of every
// build writes the definition (cmake/BuildStamp.cmake), so an incremental build
// carries its own date; the compiler's __DATE__ would keep the date of this
// module's last compilation.
#pragma once

namespace kivro {

const char* BuildDate();

}  // namespace kivro
