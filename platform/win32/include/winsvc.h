#pragma once
/* Service control manager API (advapi32). */
