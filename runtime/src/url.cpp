// Boost.URL ships header-only here: its definitions are compiled once, in this unit.
#include <boost/url/src.hpp>
