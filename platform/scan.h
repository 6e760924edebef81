// (filled as the platform layer grows)
#pragma once
