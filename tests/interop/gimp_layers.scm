; Script-Fu for GIMP 2.10 (gimp-console-2.10 -i -b ...), used by tests/interop/gimp.sh.

(define tab (string (integer->char 9)))

(define (join fields)
  (if (null? (cdr fields))
      (car fields)
      (string-append (car fields) tab (join (cdr fields)))))

(define (as-string v) (if (number? v) (number->string v) v))

; Writes DIR/peer.tsv, one line per layer, top of the stack first, groups before what they hold:
; id, parent id (0 at the top level), group?, name, opacity %, visible, x, y, width, height, alpha?,
; GIMP's layer mode number, and DIR/peer-ID.png with each layer's own pixels, its mask applied (colour of transparent pixels
; kept), at its own size.
(define (rivodiv-dump-image image dir)
  (let ((port (open-output-file (string-append dir "/peer.tsv"))))
    (define (dump-layer layer parent)
      (let* ((group (= (car (gimp-item-is-group layer)) TRUE))
             (offsets (gimp-drawable-offsets layer))
             (png (string-append dir "/peer-" (number->string layer) ".png")))
        (display (join (map as-string
                            (list layer parent (if group 1 0) (car (gimp-item-get-name layer))
                                  (car (gimp-layer-get-opacity layer)) (car (gimp-item-get-visible layer))
                                  (car offsets) (cadr offsets)
                                  (car (gimp-drawable-width layer)) (car (gimp-drawable-height layer))
                                  (car (gimp-drawable-has-alpha layer)) (car (gimp-layer-get-mode layer)))))
                 port)
        (newline port)
        (if group
            (for-each (lambda (child) (dump-layer child layer))
                      (vector->list (cadr (gimp-item-get-children layer))))
            (begin
              (if (not (= (car (gimp-layer-get-mask layer)) -1))
                  (gimp-layer-remove-mask layer MASK-APPLY))
              (file-png-save2 RUN-NONINTERACTIVE image layer png png 0 0 0 0 0 0 0 0 1)))))
    (for-each (lambda (layer) (dump-layer layer 0))
              (vector->list (cadr (gimp-image-get-layers image))))
    (close-output-port port)))

(define (rivodiv-dump-file psd dir)
  (let ((image (car (gimp-file-load RUN-NONINTERACTIVE psd psd))))
    (rivodiv-dump-image image dir)
    (gimp-image-delete image)))

; A layered document as an artist builds it in GIMP, saved as PSD, then dumped as GIMP holds it.
(define (rivodiv-build-psd psd dir)
  (let* ((image (car (gimp-image-new 64 48 RGB)))
         (new-layer (lambda (parent position w h type name opacity)
                      (let ((layer (car (gimp-layer-new image w h type name opacity LAYER-MODE-NORMAL))))
                        (gimp-image-insert-layer image layer parent position)
                        layer)))
         (fill (lambda (drawable rgb)
                 (gimp-context-set-foreground rgb)
                 (gimp-drawable-edit-fill drawable FILL-FOREGROUND)))
         (select (lambda (x y w h) (gimp-image-select-rectangle image CHANNEL-OP-REPLACE x y w h))))
    ; Bottom: an opaque background without transparency.
    (let ((bg (new-layer 0 0 64 48 RGB-IMAGE "背景" 100)))
      (plug-in-plasma RUN-NONINTERACTIVE image bg 1 2.0))
    ; A smaller layer without transparency: the rest of the canvas must stay see-through.
    (let ((partial (new-layer 0 0 20 16 RGB-IMAGE "部分レイヤー" 80)))
      (gimp-layer-set-offsets partial 30 20)
      (plug-in-plasma RUN-NONINTERACTIVE image partial 2 3.0))
    ; A layer with a mask: black, grey and white parts.
    (let* ((masked (new-layer 0 0 64 48 RGBA-IMAGE "マスク付き ﾏｽｸ" 100))
           (mask (car (gimp-layer-create-mask masked ADD-WHITE-MASK))))
      (plug-in-plasma RUN-NONINTERACTIVE image masked 3 4.0)
      (gimp-layer-add-mask masked mask)
      (select 0 0 16 48)
      (fill mask '(0 0 0))
      (select 16 8 30 24)
      (fill mask '(128 128 128))
      (gimp-selection-none image))
    ; A hidden group and a half-transparent one.
    (let ((hidden (car (gimp-layer-group-new image)))
          (half (car (gimp-layer-group-new image))))
      (gimp-image-insert-layer image hidden 0 0)
      (gimp-item-set-name hidden "非表示グループ")
      (gimp-item-set-visible hidden FALSE)
      (let ((inside (new-layer hidden 0 64 48 RGBA-IMAGE "中身" 100)))
        (plug-in-plasma RUN-NONINTERACTIVE image inside 4 2.5))
      (gimp-image-insert-layer image half 0 0)
      (gimp-item-set-name half "グループ５０％")
      (gimp-layer-set-opacity half 50)
      (let ((child (new-layer half 0 40 30 RGBA-IMAGE "子ﾚｲﾔｰ　全角スペース" 80)))
        (gimp-layer-set-offsets child 8 6)
        (plug-in-plasma RUN-NONINTERACTIVE image child 5 1.5)
        (select 0 0 30 10)
        (gimp-drawable-edit-clear child)
        (gimp-selection-none image)))
    (file-psd-save RUN-NONINTERACTIVE image (car (gimp-image-get-active-drawable image)) psd psd 1 0)
    (rivodiv-dump-image image dir)
    (gimp-image-delete image)))
