// Makes the media engine the engine of "IMAGE" and "VIDEO" instances.
#pragma once

// Registers MivrelMediaEngine with the engine factory for both families.
// Start-up calls it once, before any instance loads. Safe to call again.
void registerMediaEngines();
