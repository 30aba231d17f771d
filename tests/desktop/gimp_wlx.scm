; Script-Fu for GIMP 2.10 (gimp-console-2.10 -i -b ...), used by tests/desktop/check.sh with the
; WLX plug-in installed. Needs tests/interop/gimp_layers.scm loaded first.

; Opens WLX through the plug-in (chosen by the extension) and dumps it into DIR as
; rivodiv-dump-image does; then puts the layer "Sun" into a hidden group at 50 % where it stood,
; renames the top layer to RENAMED and exports the image as AGAIN (a .wlx, so the plug-in again).
; Also opens NOEXT, the same file without an extension (the magic chooses the plug-in), and writes
; its layer count to DIR/magic.txt.
(define (rivodiv-wlx-roundtrip wlx dir again noext renamed)
  (let* ((image (car (gimp-file-load RUN-NONINTERACTIVE wlx wlx)))
         (sun (car (gimp-image-get-layer-by-name image "Sun")))
         (group (car (gimp-layer-group-new image))))
    (rivodiv-dump-image image dir)
    (gimp-image-insert-layer image group 0 (car (gimp-image-get-item-position image sun)))
    (gimp-item-set-visible group FALSE)
    (gimp-layer-set-opacity group 50)
    (gimp-image-reorder-item image sun group 0)
    (gimp-item-set-name (vector-ref (cadr (gimp-image-get-layers image)) 0) renamed)
    (gimp-file-save RUN-NONINTERACTIVE image (car (gimp-image-get-active-drawable image)) again again)
    (gimp-image-delete image))
  (let ((image (car (gimp-file-load RUN-NONINTERACTIVE noext noext)))
        (port (open-output-file (string-append dir "/magic.txt"))))
    (display (car (gimp-image-get-layers image)) port)
    (newline port)
    (close-output-port port)
    (gimp-image-delete image)))

; Opens FILE (for the timing in bench/desktop.sh) and closes it.
(define (rivodiv-open-close file)
  (gimp-image-delete (car (gimp-file-load RUN-NONINTERACTIVE file file))))
