/* list.h - the daemon's one intrusive doubly linked list: records that link themselves */
#ifndef VORLEN_LIST_H
#define VORLEN_LIST_H

/* LINK is the member by which a record of type T sits on a LIST. All zero, as
 * calloc and value-initialisation leave it, it is on no list; it holds no
 * constructor, so that records stay plain data. */
template <typename T> struct LINK {
    T *next; /* the younger neighbour; null at the tail */
    T *prev; /* the older neighbour; null at the head */
};

/* LIST threads records of type T through their member M, in the order they
 * were pushed: it allocates nothing and owns nothing. A record is on at most
 * one list through one LINK; removing one that is on none, or twice, is
 * harmless. Iteration may remove the record it stands on, and no other. */
template <typename T, LINK<T> T::*M> class LIST {
  public:
    LIST() = default;
    LIST(const LIST &) = delete; /* its records point at each other, not at it */
    LIST &operator=(const LIST &) = delete;

    T *front() const { return head_; }
    T *back() const { return tail_; }
    bool empty() const { return !head_; }
    static T *next(const T *x) { return (x->*M).next; }
    static T *prev(const T *x) { return (x->*M).prev; }
    /* contains tells whether x is on this list, in constant time: a record with
     * no older neighbour is on it only as its head. Cannot fail. */
    bool contains(const T *x) const { return (x->*M).prev || head_ == x; }

    /* push_back links x at the tail; x must be on no list. Cannot fail. */
    void push_back(T *x) {
        LINK<T> &l = x->*M;
        l.next = nullptr;
        l.prev = tail_;
        if (tail_)
            (tail_->*M).next = x;
        else
            head_ = x;
        tail_ = x;
    }
    /* remove unlinks x and leaves its link zero; a record on no list is left
     * alone. Cannot fail. */
    void remove(T *x) {
        if (!contains(x)) return;
        LINK<T> &l = x->*M;
        if (l.prev)
            (l.prev->*M).next = l.next;
        else
            head_ = l.next;
        if (l.next)
            (l.next->*M).prev = l.prev;
        else
            tail_ = l.prev;
        l.next = l.prev = nullptr;
    }
    /* move_back moves x, which is on this list, to the tail, as if it had just
     * been pushed. Cannot fail. */
    void move_back(T *x) {
        if (tail_ == x) return;
        remove(x);
        push_back(x);
    }

    /* The iterator has read the next record before the loop's body runs, so
     * that the body may remove the record it was given. */
    class iterator {
      public:
        explicit iterator(T *x) : cur_(x), nxt_(x ? next(x) : nullptr) {}
        T *operator*() const { return cur_; }
        iterator &operator++() {
            cur_ = nxt_;
            nxt_ = cur_ ? next(cur_) : nullptr;
            return *this;
        }
        bool operator!=(const iterator &o) const { return cur_ != o.cur_; }

      private:
        T *cur_;
        T *nxt_;
    };
    iterator begin() const { return iterator(head_); }
    iterator end() const { return iterator(nullptr); }

  private:
    T *head_ = nullptr;
    T *tail_ = nullptr;
};

#endif /* VORLEN_LIST_H */
