# The name of the driver's firmware file in a volume: a GUID made once for this driver alone.
# Platforms find and replace the driver by it, so it never changes and is never reused. Read by
# the host build and by the image build, which is handed this value.
set(VESK_DRIVER_FILE_GUID "A3DEBDE2-D37C-48AC-8546-42859B647B5E" CACHE STRING
  "The GUID that names the driver's firmware file (8-4-4-4-12 hex digits)")
