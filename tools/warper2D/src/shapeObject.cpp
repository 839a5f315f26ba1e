#include "shapeObject.h"
