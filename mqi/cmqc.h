// (filled as the MQ interface grows)
#pragma once
