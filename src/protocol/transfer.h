// Conversion between the main form and the configuration record.
#ifndef DTU_PROTOCOL_TRANSFER_H
#define DTU_PROTOCOL_TRANSFER_H

#include <cstddef>
#include <cstdint>

#include "app/seams.h"
#include "form/form.h"
#include "protocol/config_image.h"

// Fills image from the form. Returns false, after telling the user why, when
// the input is refused; then nothing may be sent.
bool EncodeForm(Form& form, MessageBoxes& boxes, ConfigImage& image);
// Shows a received record in the form. May cut over-long package counts in
// image to what the form can show.
void DecodeImage(ConfigImage& image, Form& form);

#endif
