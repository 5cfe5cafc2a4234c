#include "serial/OoMisc.h"

void TComponent::Assign(TObject*) {}

void TComponent::Loaded() { FLoading = false; }
