// Compiles the bridge's header together with the one javac writes for the
// Java class: a native whose types differ between the two is a conflicting
// declaration and stops the build.
#include "ferroxjni.h"

#include "com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox.h"
